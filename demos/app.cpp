// "app5" and "app12", the programs that launch starts: each plays one demo.
// The demo is looked for beside this program's resolved location, so a run
// directory may hold a link to it, and then where the build put it, so it may
// hold a copy. launch starts it with no arguments and no environment, and it
// needs neither.

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
    if (!error) {
        const std::string beside = (self.parent_path() / CUBE_DEMO).string();
        ::execv(beside.c_str(), args);
    }
    const std::string built = std::string(CUBE_DEMO_DIR) + "/" + CUBE_DEMO;
    ::execv(built.c_str(), args);
    std::perror(("unable to start " + built).c_str());
    return 1;
}
