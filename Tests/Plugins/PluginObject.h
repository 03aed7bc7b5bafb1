// PluginObject: the IUnknown part of a test plug-in's COM objects. QueryInterface answers for
// IUnknown and the one interface the object implements; the reference count starts at 1 (the
// creator's) and the last Release deletes the object. An Object with a private destructor makes
// PluginObject its friend.
#pragma once

#include <atomic>
#include <cstdint>

#include "Platform/Com.h"

template <typename Object, typename Interface, const platform::IID& kInterfaceId>
class PluginObject : public Interface {
public:
    platform::HRESULT KRI_COM_CALL QueryInterface(const platform::IID& iid,
                                                  void** object) override {
        if (iid == platform::IID_IUnknown || iid == kInterfaceId) {
            AddRef();
            *object = static_cast<Interface*>(this);
            return platform::S_OK;
        }
        *object = nullptr;
        return platform::E_NOINTERFACE;
    }
    uint32_t KRI_COM_CALL AddRef() override { return ++references_; }
    uint32_t KRI_COM_CALL Release() override {
        const uint32_t left = --references_;
        if (left == 0) {
            delete static_cast<Object*>(this);
        }
        return left;
    }

private:
    std::atomic<uint32_t> references_{1};
};
