// Scope guards for what passes between the service and the automation component: a reference of
// our own to one of its objects, and a string of ours (one we hand it, or one it returns through
// an out-parameter); and the component's getters of a name or id, which use them.
//
// Used on the thread that makes the calls (a sink call, a document build); both guards release
// what they hold at the end of the scope, also when the code in between throws.
#pragma once

#include "LibraryInterfaces/String.h"
#include "Platform/Com.h"
#include "Tools/RovazoRiva/Playlist/KriAtmnSvc/AtmnInterfaces.h"

// Marks a reference that is already counted for us, such as one QueryInterface returned.
struct AdoptedReference {};
inline constexpr AdoptedReference kAdopted{};

// A reference to a component object, held for the lifetime of the scope. A null object holds
// nothing.
template <typename Interface>
class HeldReference {
public:
    // Takes a reference of our own.
    explicit HeldReference(Interface* object) : object_(object) {
        if (object_ != nullptr) {
            object_->AddRef();
        }
    }
    // Takes over a reference that was counted for us.
    HeldReference(Interface* object, AdoptedReference) : object_(object) {}
    ~HeldReference() {
        if (object_ != nullptr) {
            object_->Release();
        }
    }
    HeldReference(const HeldReference&) = delete;
    HeldReference& operator=(const HeldReference&) = delete;

    Interface* get() const { return object_; }

private:
    Interface* object_;
};

// A string in the component's format that is ours to free: made from a text to hand to the
// component, or empty for the component to fill through out(). Freed at the end of the scope.
class ComString {
public:
    ComString() = default;
    explicit ComString(const String& text) : text_(platform::bstrFromUtf8(text.c_str())) {}
    ~ComString() { platform::SysFreeString(text_); }
    ComString(const ComString&) = delete;
    ComString& operator=(const ComString&) = delete;

    platform::BSTR get() const { return text_; }
    platform::BSTR* out() { return &text_; }
    String text() const { return String(platform::bstrToUtf8(text_).c_str()); }

private:
    platform::BSTR text_ = nullptr;
};

inline String nameOf(IAtmnPlaylist* playlist) {
    ComString name;
    playlist->GetName(name.out());
    return name.text();
}

inline String nameOf(IAtmnEntry* entry) {
    ComString name;
    entry->GetName(name.out());
    return name.text();
}

inline String idOf(IAtmnEntry* entry) {
    ComString id;
    entry->GetId(id.out());
    return id.text();
}
