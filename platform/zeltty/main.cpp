#include "zeltty.h"

int main(int argc, char **argv)
{
    return zeltty::run(argc, argv, zeltty::default_options());
}
