#include "lib/runtime_tls.hpp"

#include <dlfcn.h>

#include <string>

namespace synaptor {

bool place_runtime_tls_statically() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&place_runtime_tls_statically), &info) == 0 ||
        info.dli_fname == nullptr) {
        return false;
    }
    std::string path(info.dli_fname);
    const std::string::size_type slash = path.rfind('/');
    path.resize(slash == std::string::npos ? 0 : slash + 1);
    path += kTlsAnchorFile;
    // Kept loaded for the life of the process: the static place, once given,
    // stays with the runtime.
    if (dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL) != nullptr) return true;
    (void)dlerror();
    return false;
}

}  // namespace synaptor
