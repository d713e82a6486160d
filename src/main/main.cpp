#include "main/startup.h"

int main(int argc, char** argv)
{
    return modcard_main(argc, argv);
}
