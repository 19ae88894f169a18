// Placement of the C++ runtime's thread-local data in the static block of
// each thread (see tls_anchor/tls_anchor.cpp). Called once when the module
// is imported, on the importing thread.
#pragma once

namespace synaptor {

/// The file name of the companion library, installed beside the module.
inline constexpr const char* kTlsAnchorFile = "_synaptor_tls_anchor.so";

/// Loads the companion library from the module's directory. Returns false
/// when the loader refused it (for instance because a thread has already used
/// the runtime's thread-local data from a block of its own); the module then
/// works as before, with the runtime's blocks allocated on first use.
bool place_runtime_tls_statically();

}  // namespace synaptor
