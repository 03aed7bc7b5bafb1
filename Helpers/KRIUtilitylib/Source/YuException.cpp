#include "YuException.h"

#include <cstring>

YuException::YuException(const char* text) : YuException(0, text) {}

YuException::YuException(int32_t code, const char* text) : message(copyOf(text)), code(code) {}

YuException::YuException(const YuException& other)
    : message(copyOf(other.message.get())), code(other.getCode()) {}

YuException::~YuException() = default;

const char* YuException::getMessage() const {
    return message ? message.get() : "*VOID*";
}

int32_t YuException::getCode() const {
    return code;
}

std::unique_ptr<char[]> YuException::copyOf(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    const size_t size = std::strlen(text) + 1;
    auto copy = std::make_unique<char[]>(size);
    std::memcpy(copy.get(), text, size);
    return copy;
}
