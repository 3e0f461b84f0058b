#include "sapdir.h"
#include "zelterm.h"

int main(int argc, char **argv)
{
    return zelterm::run(argc, argv, zelterm::sap_directory());
}
