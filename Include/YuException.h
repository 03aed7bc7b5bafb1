// YuException: the utility library's exception, the root of the library's exception classes.
//
// It carries a message text, owned as a private copy or absent, and a signed 32-bit code (0
// unless given). It is thrown by value and caught by reference; any thread may throw it. An
// absent message reads as "*VOID*". Copies take the source's code through its getCode(), so a
// subclass that reports its own code keeps it in a copy.
#pragma once

#include <cstdint>
#include <memory>

class YuException {
public:
    // A null text leaves the message absent.
    explicit YuException(const char* text);
    YuException(int32_t code, const char* text);
    YuException(const YuException& other);
    YuException& operator=(const YuException&) = delete;

    virtual ~YuException();
    virtual const char* getMessage() const;
    virtual int32_t getCode() const;

private:
    static std::unique_ptr<char[]> copyOf(const char* text);

    std::unique_ptr<char[]> message;
    int32_t code;
};
