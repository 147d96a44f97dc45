#pragma once

#include <atomic>
#include <cstdint>

// The service's side of the users' desktop sessions. The platform subclass's
// instance() creates it and registers it here.
class Notifier {
public:
    static Notifier* instance();

    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // The child of the mapped user whose desktop session last answered.
    virtual uint32_t getCurrentChildId() const { return mCurrChildId; }

    virtual ~Notifier() = default;

protected:
    Notifier() = default;
    static void registerInstance(Notifier* notifier);

    std::atomic<uint32_t> mCurrChildId{0};

private:
    static Notifier* mpSingleton;
};
