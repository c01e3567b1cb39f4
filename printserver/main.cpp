// The entry of quillport.
#include "quillportmain.h"

int main(int argc, char **argv)
{
    return quillportMain(argc, argv);
}
