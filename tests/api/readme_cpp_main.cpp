// Runs the README's C++ block as an application would: both channels registered first.
#include <cstdlib>
#include <initializer_list>

#include "plume/quillmark.h"

void logBoth(const char* text);

int main() {
    const char* storage = std::getenv("QM_SNIPPET_STORAGE");
    const char* address = std::getenv("QM_SNIPPET_ADDRESS");
    const uint16_t port = static_cast<uint16_t>(std::atoi(std::getenv("QM_SNIPPET_PORT")));
    for (const char* channel : {"quillmark-user", "Corvane"}) {
        if (GetPlumeLog()->initialize("MyApp", storage, "1.2.3", address, port, nullptr, nullptr,
                                      true, false, channel) != 0) {
            return 2;
        }
    }
    logBoth("from the C++ block");
    QuillMarkDestroy();
    return 0;
}
