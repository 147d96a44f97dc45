#pragma once

#include <mutex>

// The one registered instance of a seam. The platform class's own
// instance() makes its object on first use and registers it here; the rest
// of the service calls Seam::instance(). A test registers its own object,
// and registerInstance(nullptr) (or the object's destructor) forgets it;
// the registry never owns what it holds.
template <class Seam>
class Registered {
public:
    static Seam* instance() { return slot(); }

    static void registerInstance(Seam* object) { slot() = object; }
    // Forgets `object` if it is the one registered: for destructors.
    static void forget(const Seam* object) {
        if (slot() == object) {
            slot() = nullptr;
        }
    }

private:
    static Seam*& slot() {
        static Seam* object = nullptr;
        return object;
    }
};

// A platform class's one object (WinUI, LinuxDriver, ...): made on first
// use and registered as its seam's instance; reset() destroys it, for tests
// and the service's stop, only while no thread uses it.
template <class Platform>
class PlatformInstance {
public:
    // `make` returns the new object.
    template <class Make>
    static Platform* get(Make make) {
        std::lock_guard<std::mutex> lock(mutex());
        if (!object()) {
            object() = make();
            Platform::registerInstance(object());
        }
        return object();
    }

    static void reset() {
        std::lock_guard<std::mutex> lock(mutex());
        if (object()) {
            Platform::forget(object());
            delete object();
            object() = nullptr;
        }
    }

private:
    static Platform*& object() {
        static Platform* made = nullptr;
        return made;
    }
    static std::mutex& mutex() {
        static std::mutex lock;
        return lock;
    }
};
