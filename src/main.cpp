// cairnfix: analyse and repair one FidoNet JAM message base.
#include "driver/driver.h"

#include <cstdio>

int main(int argc, char **argv) {
    // Line buffering keeps the report and the error lines in order when both go to one place.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return run_tool(argc, argv);
}
