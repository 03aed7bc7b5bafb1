#include <windows.h>

#include "TickWindow.h"

namespace {

constexpr UINT kTickMessage = WM_APP + 1;
constexpr wchar_t kWindowClass[] = L"KriTestTickerWindow";

HINSTANCE thisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&kWindowClass), &module);
    return module;
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kTickMessage) {
        auto* onTick = reinterpret_cast<std::function<void(int32_t)>*>(
            GetWindowLongPtrW(window, GWLP_USERDATA));
        if (onTick != nullptr) {
            (*onTick)(static_cast<int32_t>(wParam));
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

TickWindow::TickWindow(std::function<void(int32_t)> onTick) : onTick_(std::move(onTick)) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = thisModule();
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);  // fails harmlessly when a former object registered it
    const HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        thisModule(), nullptr);
    if (window != nullptr) {
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&onTick_));
    }
    window_ = window;
}

TickWindow::~TickWindow() {
    if (window_ != nullptr) {
        DestroyWindow(static_cast<HWND>(window_));
    }
}

void TickWindow::post(int32_t number) {
    PostMessageW(static_cast<HWND>(window_), kTickMessage, static_cast<WPARAM>(number), 0);
}
