#include <iostream>

#include "uPack.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return RunPack(args, std::cout, std::cerr);
}
