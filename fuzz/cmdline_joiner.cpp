// The uninstaller's command-line joiner on any /proc cmdline content and
// any buffer size: never writes past the buffer, always terminates it, and
// holds the arguments joined without their NULs, cut at the buffer's size.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>

#include "command_line.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // Mostly the program's own 1024 bytes; sometimes any size down to 1.
    const size_t cap = in.ConsumeBool() ? 1024 : in.ConsumeIntegralInRange<size_t>(1, 2048);
    const std::string cmdline = in.ConsumeRemainingBytesAsString();
    const auto file = ksfuzz::MemFile(cmdline.data(), cmdline.size());

    // Exactly cap bytes on the heap, so a write past them is caught.
    const auto out = std::make_unique<char[]>(cap);
    const size_t len = uninstall::join_arguments(file.get(), out.get(), cap);

    std::string expected;
    for (const char c : cmdline)
        if (c != '\0' && expected.size() < cap - 1) expected += c;
    if (len != expected.size()) ksfuzz::Mismatch("joined length");
    if (out[len] != '\0') ksfuzz::Mismatch("not terminated");
    if (std::memcmp(out.get(), expected.data(), len) != 0) ksfuzz::Mismatch("joined text");
    return 0;
}
