// Linked into every test program: the user's HUB_ENDPOINT (set for the desktop session, say) must
// not send a test's request to a real hub. Tests that need a hub start one on 127.0.0.1 and name it.
#include <cstdlib>

namespace {
const bool g_noHub = [] {
    ::unsetenv("HUB_ENDPOINT");
    return true;
}();
}  // namespace
