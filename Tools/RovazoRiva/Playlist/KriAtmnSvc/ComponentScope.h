// Scope guards for what the automation component hands the service: a reference of our own to
// one of its objects, and a string it returns through an out-parameter (which belongs to us).
//
// Used on the thread that makes the calls (a sink call, a document build); both release what
// they hold at the end of the scope, also when the code in between throws.
#pragma once

#include "LibraryInterfaces/String.h"
#include "Platform/Com.h"

// A reference to a component object, held for the lifetime of the scope.
// Requires: object is not null.
template <typename Interface>
class HeldReference {
public:
    explicit HeldReference(Interface* object) : object_(object) { object_->AddRef(); }
    ~HeldReference() { object_->Release(); }
    HeldReference(const HeldReference&) = delete;
    HeldReference& operator=(const HeldReference&) = delete;

private:
    Interface* object_;
};

// A string the component returns through an out-parameter; freed at the end of the scope.
class ReturnedString {
public:
    ReturnedString() = default;
    ~ReturnedString() { platform::SysFreeString(text_); }
    ReturnedString(const ReturnedString&) = delete;
    ReturnedString& operator=(const ReturnedString&) = delete;

    platform::BSTR* out() { return &text_; }
    String text() const { return String(platform::bstrToUtf8(text_).c_str()); }

private:
    platform::BSTR text_ = nullptr;
};
