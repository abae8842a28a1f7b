// Writes seed inputs for path_fuzz into the folder given as argv[1]: one file
// per path pair, led by the byte that chooses the output size.
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    struct Seed {
        unsigned char size;
        std::string base;
        std::string rel;
    };
    const Seed seeds[] = {
        { 200, "a\\b\\..\\c", "x" },
        { 200, "a//b/./c/", "../../y" },
        { 200, "../../x", "../z" },
        { 200, "/../x", "/x" },
        { 200, "/..abc", "." },
        { 200, "C:\\dir\\..", "sub" },
        { 200, "C:x", "..\\y" },
        { 200, "//srv//share/dir/../f", "../.." },
        { 200, "//srv/share", "" },
        { 200, "///srv/share/x", "a" },
        { 200, "//a/b", "c/d" },
        { 200, "zerv://host/path", "x" },
        { 200, "./C:x", "" },
        { 3, "/abc/def/../../x", "y" },
        { 1, "a/..", "b" },
        { 200, "", "./y" },
        { 200, ".", "x" },
        { 200, "a/b\nc", "d" },
        { 200, "\r\tC:x", "..\\y\\" },
    };
    int index = 0;
    for (const Seed& seed : seeds) {
        const std::string name = std::string(argv[1]) + "/seed-" + std::to_string(index++);
        FILE* f = fopen(name.c_str(), "wb");
        if (!f)
            return 1;
        const std::string data = std::string(1, static_cast<char>(seed.size)) + seed.base + '\0' + seed.rel;
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    return 0;
}
