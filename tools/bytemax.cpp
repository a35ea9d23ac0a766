// bytemax: prints the largest value that one unsigned byte can hold.

#include <cstdint>
#include <cstdio>

int main()
{
    std::printf("En byte kan lagra max %u", static_cast<unsigned>(UINT8_MAX));
    return 0;
}
