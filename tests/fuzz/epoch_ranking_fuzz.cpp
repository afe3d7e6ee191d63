/* Loads arbitrary bytes as an epoch ranking file. A file the loader takes
 * must then be safe to add epochs to, print and save again, and saving must
 * give back the same bytes it was loaded from. */
#include "oxlo_epoch_ranking.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int file_fd = -1;
char file_path[64];

std::vector<uint8_t> read_back(int fd)
{
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fd, buf, sizeof(buf), at)) > 0) {
        out.insert(out.end(), buf, buf + n);
        at += n;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    /* The loader explains every refusal on standard output. */
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    file_fd = memfd_create("ranking", 0);
    if (file_fd < 0)
        std::abort();
    std::snprintf(file_path, sizeof(file_path), "/proc/self/fd/%d", file_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(file_fd, 0) != 0 || pwrite(file_fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    oxlo_epoch_ranking r;
    oxlo_epoch_ranking_init(&r, 1, 1);
    if (oxlo_epoch_ranking_load(&r, file_path) == 1) {
        std::vector<uint8_t> again;
        if (oxlo_epoch_ranking_save(&r, file_path) == 1)
            again = read_back(file_fd);
        if (again.size() != size || std::memcmp(again.data(), data, size) != 0)
            std::abort();
        oxlo_ranking_item items[4] = {{1, 0, 5}, {2, 0, 9}, {3, 0, 1}, {4, 0, 7}};
        uint32_t previous = 0;
        std::vector<oxlo_ranking_item> now(4), before(4);
        oxlo_epoch_ranking_add_epoch(&r, 77, items, 4, now.data(), before.data(), &previous);
        oxlo_epoch_ranking_print(&r);
    }
    oxlo_epoch_ranking_free(&r);
    return 0;
}
