// The benchmarks' floor: parse feed files with libmrss alone (mode "mrss"),
// or with libnxml alone (mode "nxml"), the XML layer under it, to tell
// the XML parse from libmrss's own work on the parsed document. Prints the
// seconds the parsing took, without the process's start and the reading.
#include <mrss.h>
#include <nxml.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char **argv)
{
    if (argc < 3 || (std::strcmp(argv[1], "mrss") != 0 && std::strcmp(argv[1], "nxml") != 0)) {
        std::fprintf(stderr, "usage: parse_feeds mrss|nxml file...\n");
        return 2;
    }
    bool whole = std::strcmp(argv[1], "mrss") == 0;
    std::chrono::duration<double> parsing{};
    for (int i = 2; i < argc; i++) {
        std::ifstream in(argv[i], std::ios::binary);
        std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto started = std::chrono::steady_clock::now();
        if (whole) {
            mrss_t *feed = nullptr;
            if (mrss_parse_buffer(&doc[0], doc.size(), &feed) != MRSS_OK)
                std::fprintf(stderr, "parse failed: %s\n", argv[i]);
            if (feed != nullptr)
                mrss_free(feed);
        } else {
            nxml_t *nxml = nullptr;
            nxml_new(&nxml);
            if (nxml_parse_buffer(nxml, &doc[0], doc.size()) != NXML_OK)
                std::fprintf(stderr, "parse failed: %s\n", argv[i]);
            nxml_free(nxml);
        }
        parsing += std::chrono::steady_clock::now() - started;
    }
    std::printf("%.6f\n", parsing.count());
    return 0;
}
