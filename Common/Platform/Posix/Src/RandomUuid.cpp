#include "RandomUuid.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace brondal::platform {

namespace {

using Bytes = std::array<std::uint8_t, 16>;

// False when the kernel has no getrandom(2) or a sandbox forbids it.
bool ReadGetrandom(Bytes* bytes) {
    std::size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t n = getrandom(bytes->data() + done, bytes->size() - done, 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool ReadUrandom(Bytes* bytes) {
    int fd;
    do {
        fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    close(fd);
    return done == bytes->size();
}

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::uint16_t BigEndian16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

void GenerateRandomUuid(UUID* out) {
    if (out == nullptr) return;
    Bytes bytes;
    if (!ReadGetrandom(&bytes) && !ReadUrandom(&bytes)) {
        std::fputs("fatal: no kernel random source for identifiers\n", stderr);
        std::abort();
    }
    // The bytes go into the members big-endian, so the text form shows them in order and the
    // version and variant sit in bytes 6 and 8 as the standard layout has them: the first
    // digit of the third group is 4, the first of the fourth is 8, 9, a or b.
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
    out->Data1 = BigEndian32(&bytes[0]);
    out->Data2 = BigEndian16(&bytes[4]);
    out->Data3 = BigEndian16(&bytes[6]);
    for (std::size_t i = 0; i < out->Data4.size(); ++i) {
        out->Data4[i] = bytes[8 + i];
    }
}

}  // namespace brondal::platform
