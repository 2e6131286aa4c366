#include "CurrentDirectory.h"

#include <errno.h>
#include <unistd.h>

#include <vector>

namespace brondal {

std::string CurrentDirectory() {
    std::vector<char> buffer(4096);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size())) return buffer.data();
        // Linux paths may exceed PATH_MAX; grow until the kernel stops asking for more.
        if (errno != ERANGE || buffer.size() >= (1u << 20)) return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace brondal
