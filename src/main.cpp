// cairnfix: analyse and repair one FidoNet JAM message base.
#include "driver/driver.h"

#include <cstdio>

int main(int argc, char **argv) {
    return run_tool(argc, argv);
}
