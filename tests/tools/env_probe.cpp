// Stands in for a program that launch starts: prints its argument count, each
// argument and each environment variable, and ends with a status of its own.

#include <cstdio>

namespace {

constexpr int kProbeStatus = 3;

}  // namespace

int main(int argc, char* argv[], char* envp[])
{
    std::printf("argc %d\n", argc);
    for (int i = 0; i < argc; ++i)
        std::printf("arg [%s]\n", argv[i]);
    for (char** variable = envp; *variable; ++variable)
        std::printf("env [%s]\n", *variable);
    return kProbeStatus;
}
