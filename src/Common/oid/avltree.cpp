// AVL tree of the OID store: insert with rebalancing, search, delete, walks
// that print the keys, and destruction of nodes with their values.
#include "Common/oid/avltree.h"
#include <algorithm>
#include <cstdio>
#include <cstdlib>

int avltree_height(AVLTree tree)
{
    return tree == nullptr ? -1 : tree->height;
}

static void FixHeight(Node* n)
{
    n->height = std::max(avltree_height(n->left), avltree_height(n->right)) + 1;
}

static Node* RotateRight(Node* k2)  // left-left case
{
    Node* k1 = k2->left;
    k2->left = k1->right;
    k1->right = k2;
    FixHeight(k2);
    FixHeight(k1);
    return k1;
}

static Node* RotateLeft(Node* k1)  // right-right case
{
    Node* k2 = k1->right;
    k1->right = k2->left;
    k2->left = k1;
    FixHeight(k1);
    FixHeight(k2);
    return k2;
}

// Restores the balance of one node whose subtrees differ by at most 2.
static Node* Rebalance(Node* n)
{
    int diff = avltree_height(n->left) - avltree_height(n->right);
    if (diff == 2) {
        if (avltree_height(n->left->left) < avltree_height(n->left->right))
            n->left = RotateLeft(n->left);
        return RotateRight(n);
    }
    if (diff == -2) {
        if (avltree_height(n->right->right) < avltree_height(n->right->left))
            n->right = RotateRight(n->right);
        return RotateLeft(n);
    }
    FixHeight(n);
    return n;
}

AVLTree avltree_insert(AVLTree tree, Type key)
{
    if (tree == nullptr) {
        Node* n = static_cast<Node*>(calloc(1, sizeof(Node)));
        if (n == nullptr) {
            printf("ERROR: create avltree node failed!\n");
            return nullptr;
        }
        n->key = key;
        return n;
    }
    if (key < tree->key) {
        tree->left = avltree_insert(tree->left, key);
    } else if (key > tree->key) {
        tree->right = avltree_insert(tree->right, key);
    } else {
        printf("添加失败：不允许添加相同的节点！\n");
        printf("key = %d\n", key);
        return tree;
    }
    return Rebalance(tree);
}

Node* avltree_search(AVLTree tree, Type key)
{
    if (tree == nullptr || tree->key == key)
        return tree;
    return avltree_search(key < tree->key ? tree->left : tree->right, key);
}

Node* iterative_avltree_search(AVLTree tree, Type key)
{
    while (tree != nullptr && tree->key != key)
        tree = key < tree->key ? tree->left : tree->right;
    return tree;
}

Node* avltree_minimum(AVLTree tree)
{
    while (tree != nullptr && tree->left != nullptr)
        tree = tree->left;
    return tree;
}

Node* avltree_maximum(AVLTree tree)
{
    while (tree != nullptr && tree->right != nullptr)
        tree = tree->right;
    return tree;
}

AVLTree avltree_delete(AVLTree tree, Type key)
{
    if (tree == nullptr)
        return nullptr;
    if (key < tree->key) {
        tree->left = avltree_delete(tree->left, key);
    } else if (key > tree->key) {
        tree->right = avltree_delete(tree->right, key);
    } else if (tree->left != nullptr && tree->right != nullptr) {
        // Replaced by the neighbour from the higher side; only the key moves.
        if (avltree_height(tree->left) > avltree_height(tree->right)) {
            tree->key = avltree_maximum(tree->left)->key;
            tree->left = avltree_delete(tree->left, tree->key);
        } else {
            tree->key = avltree_minimum(tree->right)->key;
            tree->right = avltree_delete(tree->right, tree->key);
        }
    } else {
        Node* child = tree->left != nullptr ? tree->left : tree->right;
        free(tree->value);
        free(tree);
        return child;
    }
    return Rebalance(tree);
}

void preorder_avltree(AVLTree tree)
{
    if (tree == nullptr)
        return;
    printf("%d ", tree->key);
    preorder_avltree(tree->left);
    preorder_avltree(tree->right);
}

void inorder_avltree(AVLTree tree)
{
    if (tree == nullptr)
        return;
    inorder_avltree(tree->left);
    printf("%d ", tree->key);
    inorder_avltree(tree->right);
}

void postorder_avltree(AVLTree tree)
{
    if (tree == nullptr)
        return;
    postorder_avltree(tree->left);
    postorder_avltree(tree->right);
    printf("%d ", tree->key);
}

void destroy_avltree(AVLTree tree)
{
    if (tree == nullptr)
        return;
    destroy_avltree(tree->left);
    destroy_avltree(tree->right);
    free(tree->value);
    free(tree);
}
