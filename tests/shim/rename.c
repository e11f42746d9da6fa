/* A program that is not confined: renames its first argument to its
 * second, so that the preloaded probe can show what an unconfined process
 * may do. */
#include <stdio.h>

int main(int argc, char **argv)
{
    return argc == 3 && rename(argv[1], argv[2]) == 0 ? 0 : 1;
}
