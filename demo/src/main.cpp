// corvessa-demo [--output FOLDER] [--snr DB] [--helper PATH] [--daemon PATH] [--plugin PATH]
//
// Runs Corvessa end to end on a private sound server and prints before/after figures; the
// program paths default to the build tree this program was built in.
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include "DemoRun.h"

int main(int argc, char** argv) {
    corvessa::demo::DemoOptions options{CORVESSA_DEMO_HELPER, CORVESSA_DEMO_DAEMON,
                                        CORVESSA_DEMO_PLUGIN, "corvessa-demo-output"};
    // Every option but --help takes a value, so each step consumes a flag and its value.
    for (int i = 1; i < argc; i += 2) {
        const std::string_view flag = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (flag == "--help" || flag == "-h") {
            std::cout << "usage: corvessa-demo [--output FOLDER] [--snr DB] [--helper PATH] "
                         "[--daemon PATH] [--plugin PATH]\n";
            return 0;
        }
        if (value == nullptr) {
            std::cerr << "corvessa-demo: " << flag << " needs a value (see --help)\n";
            return 2;
        }
        if (flag == "--output") {
            options.outputFolder = value;
        } else if (flag == "--snr") {
            options.snrDb = std::atof(value);
        } else if (flag == "--helper") {
            options.helper = value;
        } else if (flag == "--daemon") {
            options.daemon = value;
        } else if (flag == "--plugin") {
            options.plugin = value;
        } else {
            std::cerr << "corvessa-demo: unknown option " << flag << " (see --help)\n";
            return 2;
        }
    }
    return corvessa::demo::runDemo(options, std::cout, std::cerr);
}
