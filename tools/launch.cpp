// launch app5|app12: replaces itself with "./app5" or "./app12" from the
// current working directory, started with no arguments and no environment.

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

struct Program {
    const char* name;
    const char* path;
};

constexpr Program kPrograms[] = {{"app5", "./app5"}, {"app12", "./app12"}};
constexpr const char* kOwnName = "launch";

// Both hold only their terminating null: the started program gets neither an
// argument string nor an environment variable.
char* newargv[2];
char* env[1];

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        // A launcher started with an empty argument vector has no name of its own.
        std::fprintf(stderr, "Usage: %s <file-to-exec>\n", argc > 0 ? argv[0] : kOwnName);
        return 1;
    }
    for (const Program& program : kPrograms) {
        if (std::strcmp(argv[1], program.name) == 0) {
            ::execve(program.path, newargv, env);
            std::perror("execve");
            return 0;
        }
    }
    return 0;
}
