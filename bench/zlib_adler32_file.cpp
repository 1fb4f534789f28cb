// zlib's Adler-32 of a whole file, read the way setup_packer verify reads attachment data (1 MiB
// at a time): the yardstick for verify's CPU time in bench/measure.py.
// Usage: zlib_adler32_file FILE
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zlib_adler32_file FILE\n");
        return 2;
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(argv[1], "rb"),
                                                               std::fclose);
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<unsigned char> buffer(1 << 20);
    uLong checksum = adler32(0, nullptr, 0);
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0)
        checksum = adler32_z(checksum, buffer.data(), got);
    if (std::ferror(file.get())) {
        std::perror(argv[1]);
        return 1;
    }
    std::printf("0x%08lX\n", checksum);
    return 0;
}
