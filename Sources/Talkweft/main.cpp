// The talkweft executable: hold-to-talk dictation and agent edits.
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* USAGE =
    "usage: talkweft [--help | --version]\n"
    "\n"
    "Hold a chord of modifier keys, speak and release: the speech is transcribed on this machine\n"
    "and typed into the focused text field (dictation), or handed to a coding agent as an\n"
    "instruction about that field (agent mode).\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-v") == 0)) {
        std::printf("talkweft %s\n", TALKWEFT_VERSION);
        return 0;
    }
    std::printf("talkweft %s\n\n%s", TALKWEFT_VERSION, USAGE);
    if (argc > 1 && std::strcmp(argv[1], "--help") != 0 && std::strcmp(argv[1], "-h") != 0) {
        std::fprintf(stderr, "talkweft: unknown argument: %s\n", argv[1]);
        return 2;
    }
    return 0;
}
