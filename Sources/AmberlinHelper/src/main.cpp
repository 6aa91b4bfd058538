// CorvessaHelper: reports the input devices, prints diagnostics, or feeds Corvessa Mic.
#include <iostream>
#include <string>
#include <vector>

#include "AmberlinHelper/Helper.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return amberlin::helper::runHelper(arguments, std::cout, std::cerr,
                                       amberlin::helper::HelperEnvironment::system());
}
