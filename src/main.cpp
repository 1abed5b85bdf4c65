// cairnfix: analyse and repair one FidoNet JAM message base.
#include "driver/driver.h"

#ifdef _WIN32
#include "format/platform.h"

#include <string>
#include <vector>

// Windows hands the command line over in UTF-16; the tool keeps every name in UTF-8, as on
// Linux, so that a name outside the ANSI code page reaches the files intact and a report
// shows the same bytes on both systems.
int wmain(int argc, wchar_t **wargv) {
    settle_time_zone();
    std::vector<std::string> words;
    for (int i = 0; i < argc; ++i)
        words.push_back(utf8_from_wide(wargv[i]));
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return run_tool(argc, argv.data());
}
#else
int main(int argc, char **argv) {
    return run_tool(argc, argv);
}
#endif
