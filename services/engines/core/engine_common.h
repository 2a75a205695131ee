// What the two site engines share: their result codes, the export marker and the guard
// that keeps exceptions from crossing the library's binary interface.
#pragma once

#include <exception>
#include <new>

#include "platform/engine_abi.h"
#include "platform/trace.h"
#include "platform/types.h"

// Marks the library's create and release functions, the only names it exports.
#define ENGINE_EXPORT extern "C" __attribute__((visibility("default")))

// The video engine's reports besides VIDEO_ENGINE_CANCELLED.
constexpr HRESULT VIDEO_ENGINE_SOURCE_FAILED = static_cast<HRESULT>(0xC0000001u);  // unreadable
constexpr HRESULT VIDEO_ENGINE_OUTBOX_FAILED = static_cast<HRESULT>(0xC0000003u);  // write failed

// The photo engine's reports besides PHOTO_ENGINE_CANCELLED.
constexpr HRESULT PHOTO_ENGINE_SOURCE_FAILED = static_cast<HRESULT>(0x90000404u);  // unreadable
constexpr HRESULT PHOTO_ENGINE_OUTBOX_FAILED = static_cast<HRESULT>(0x90000500u);  // write failed

// An upload or fetch refused because the previous one has not ended (ERROR_BUSY).
constexpr HRESULT ENGINE_E_BUSY = static_cast<HRESULT>(0x800700AAu);
// An operation refused because it was called where it cannot work (on the engine's thread).
constexpr HRESULT ENGINE_E_WRONG_THREAD = static_cast<HRESULT>(0x8001010Eu);

// Runs body and turns an escaping exception into a traced HRESULT: nothing may unwind
// through the system's call into the library.
template <class F>
HRESULT EngineGuard(const char* what, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        Trace("[Engine] %s: out of memory", what);
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        Trace("[Engine] %s: %s", what, e.what());
        return E_FAIL;
    } catch (...) {
        Trace("[Engine] %s: unexpected failure", what);
        return E_FAIL;
    }
}
