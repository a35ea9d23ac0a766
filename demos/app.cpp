// "app5" and "app12", the programs that launch starts: each plays one demo.
// The demo is looked for beside this program's resolved location, so that a
// run directory may hold a link to it (or a copy of both), and then where an
// install puts the commands, relative to the helpers' own directory. launch
// starts it with no arguments and no environment, and it needs neither.

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

int main()
{
#ifdef CUBE_DEMO_ARGUMENT
    char* const args[] = {const_cast<char*>(CUBE_DEMO), const_cast<char*>(CUBE_DEMO_ARGUMENT), nullptr};
#else
    char* const args[] = {const_cast<char*>(CUBE_DEMO), nullptr};
#endif

    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        std::perror("unable to locate " CUBE_DEMO);
        return 1;
    }
    const std::filesystem::path here = self.parent_path();
    const std::string beside = (here / CUBE_DEMO).string();
    ::execv(beside.c_str(), args);
    const std::string installed = (here / CUBE_BIN_FROM_HELPERS / CUBE_DEMO).lexically_normal().string();
    ::execv(installed.c_str(), args);
    std::perror(("unable to start " + installed).c_str());
    return 1;
}
