// The SDL2 display: a window of the screen's size showing the framebuffer, fed back as the
// device's input (left mouse button = stylus, F1 / F2 = soft keys, arrows, Enter, Escape =
// back, typed text). Every SDL call runs on the display's own thread.
#include <SDL.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/display.h"
#include "platform/screen_internal.h"
#include "platform/trace.h"

namespace {

constexpr Uint32 kFrameMs = 16;  // at most about 60 refreshes a second

// The keyboard's keys that stand for the device's.
constexpr std::pair<SDL_Keycode, ScreenKey> kKeys[] = {
    {SDLK_F1, ScreenKey::SoftLeft},  {SDLK_F2, ScreenKey::SoftRight},
    {SDLK_UP, ScreenKey::Up},        {SDLK_DOWN, ScreenKey::Down},
    {SDLK_LEFT, ScreenKey::Left},    {SDLK_RIGHT, ScreenKey::Right},
    {SDLK_RETURN, ScreenKey::Enter}, {SDLK_KP_ENTER, ScreenKey::Enter},
    {SDLK_ESCAPE, ScreenKey::Back}};

int Clamp(int v, int limit) {
    return v < 0 ? 0 : v >= limit ? limit - 1 : v;
}

class SdlDisplay : public Display {
  public:
    ~SdlDisplay() override { Stop(); }
    const char* Name() const override { return "sdl"; }
    bool Start() override;
    void Stop() override;
    uint64_t FramesShown() const override { return frames_.load(); }

  private:
    void Run();
    bool Open();
    void Close();
    void Handle(const SDL_Event& ev);
    void Present(const screen::FrameCopy& frame);
    void Report(bool ok);

    std::thread thread_;               // runs Run
    std::atomic<bool> stop_{false};    // asks the thread to end
    std::atomic<uint64_t> frames_{0};  // frames presented
    std::mutex lock;                   // over started_ and ok_
    std::condition_variable changed;   // started_ became true
    bool started_ = false;             // the thread reported how opening went
    bool ok_ = false;                  // the window is open
    SDL_Window* window_ = nullptr;     // the display thread's window
};

bool SdlDisplay::Start() {
    if (thread_.joinable()) return true;
    stop_ = false;
    started_ = ok_ = false;
    thread_ = std::thread(&SdlDisplay::Run, this);
    std::unique_lock<std::mutex> g(lock);
    changed.wait(g, [&] { return started_; });
    if (ok_) return true;
    g.unlock();
    thread_.join();
    return false;
}

void SdlDisplay::Stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
}

void SdlDisplay::Report(bool ok) {
    std::lock_guard<std::mutex> g(lock);
    started_ = true;
    ok_ = ok;
    changed.notify_all();
}

bool SdlDisplay::Open() {
    // The process keeps its own SIGINT / SIGTERM handling.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        Trace("[Screen] SDL display: cannot start video (%s)", SDL_GetError());
        return false;
    }
    screen::FrameCopy first;
    screen::CopyFrame(0, &first);
    window_ = SDL_CreateWindow("Vantlo", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                               first.width, first.height, 0);
    if (!window_ || !SDL_GetWindowSurface(window_)) {
        Trace("[Screen] SDL display: cannot open a %dx%d window (%s)", first.width, first.height,
              SDL_GetError());
        Close();
        return false;
    }
    SDL_StartTextInput();
    Trace("[Screen] SDL display: %dx%d window open (video driver %s)", first.width, first.height,
          SDL_GetCurrentVideoDriver());
    return true;
}

void SdlDisplay::Close() {
    if (window_) SDL_DestroyWindow(window_);
    window_ = nullptr;
    SDL_Quit();
}

void SdlDisplay::Run() {
    if (!Open()) {
        Report(false);
        return;
    }
    Report(true);
    screen::FrameCopy frame;
    uint64_t seen = 0;
    while (!stop_) {
        SDL_Event ev;
        if (SDL_WaitEventTimeout(&ev, static_cast<int>(kFrameMs))) {
            do {
                Handle(ev);
            } while (SDL_PollEvent(&ev));
        }
        if (!window_) break;
        if (screen::CopyFrame(seen, &frame)) {
            Present(frame);
            seen = frame.serial;
        }
    }
    Close();
    Trace("[Screen] SDL display closed after %llu frames",
          static_cast<unsigned long long>(frames_.load()));
}

void SdlDisplay::Present(const screen::FrameCopy& frame) {
    SDL_Surface* dst = SDL_GetWindowSurface(window_);
    SDL_Surface* src = SDL_CreateRGBSurfaceWithFormatFrom(
        const_cast<uint32_t*>(frame.pixels.data()), frame.width, frame.height, 32, frame.width * 4,
        SDL_PIXELFORMAT_RGB888);
    if (!dst || !src || SDL_BlitSurface(src, nullptr, dst, nullptr) != 0 ||
        SDL_UpdateWindowSurface(window_) != 0) {
        Trace("[Screen] SDL display: cannot show a frame (%s)", SDL_GetError());
    } else {
        frames_++;
    }
    if (src) SDL_FreeSurface(src);
}

void SdlDisplay::Handle(const SDL_Event& ev) {
    int w = 0;
    int h = 0;
    if (window_) SDL_GetWindowSize(window_, &w, &h);
    switch (ev.type) {
        case SDL_QUIT:
            Trace("[Screen] SDL display: the window was closed; the device runs on");
            stop_ = true;
            break;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            if (ev.button.button == SDL_BUTTON_LEFT && w > 0 && h > 0) {
                ScreenInjectStylus(
                    ev.type == SDL_MOUSEBUTTONDOWN ? StylusAction::Press : StylusAction::Release,
                    Clamp(ev.button.x, w), Clamp(ev.button.y, h));
            }
            break;
        case SDL_MOUSEMOTION:
            if ((ev.motion.state & SDL_BUTTON_LMASK) && w > 0 && h > 0)
                ScreenInjectStylus(StylusAction::Move, Clamp(ev.motion.x, w),
                                   Clamp(ev.motion.y, h));
            break;
        case SDL_KEYDOWN:
            if (ev.key.keysym.sym == SDLK_BACKSPACE) {
                ScreenInjectText(u"\b");  // as the device's keyboard types it
                break;
            }
            for (auto [sym, key] : kKeys) {
                if (ev.key.keysym.sym == sym) ScreenInjectKey(key);
            }
            break;
        case SDL_TEXTINPUT:
            ScreenInjectText(FromUtf8(ev.text.text).c_str());
            break;
        case SDL_WINDOWEVENT:
            if (ev.window.event == SDL_WINDOWEVENT_EXPOSED) {
                screen::FrameCopy frame;
                if (screen::CopyFrame(0, &frame)) Present(frame);
            }
            break;
        default:
            break;
    }
}

}  // namespace

std::unique_ptr<Display> CreateSdlDisplay() {
    return std::make_unique<SdlDisplay>();
}
