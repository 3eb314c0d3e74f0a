// stripectl: the command-line tool for the magnetic-stripe reader/writer,
// for technicians on a kiosk over SSH and for scripts. See tools/README.md.
#include "commands.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return stripectl::runStripectl(args, std::cout, std::cerr);
}
