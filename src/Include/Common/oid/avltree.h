// AVL tree keyed by a signed 32-bit OID; each node carries the value array of
// its key (one element per record), as the OID dump stores it.
#pragma once
#include "Common/types.h"

typedef int Type;

typedef struct AVLTreeNode {
    Type key;
    int height;         // 0 for a leaf; an empty subtree counts -1
    U16 valueCount;     // elements (records of the type)
    U16 valueUnitLen;   // bytes per element
    U8* value;          // valueCount x valueUnitLen bytes, null until set
    struct AVLTreeNode* left;
    struct AVLTreeNode* right;
} Node, *AVLTree;

int avltree_height(AVLTree tree);
AVLTree avltree_insert(AVLTree tree, Type key);
AVLTree avltree_delete(AVLTree tree, Type key);
Node* avltree_search(AVLTree tree, Type key);
Node* iterative_avltree_search(AVLTree tree, Type key);
Node* avltree_minimum(AVLTree tree);
Node* avltree_maximum(AVLTree tree);
void preorder_avltree(AVLTree tree);
void inorder_avltree(AVLTree tree);
void postorder_avltree(AVLTree tree);
void destroy_avltree(AVLTree tree);
