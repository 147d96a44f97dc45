#include "Notifier.h"

Notifier* Notifier::mpSingleton = nullptr;

Notifier* Notifier::instance() {
    return mpSingleton;
}

void Notifier::registerInstance(Notifier* notifier) {
    mpSingleton = notifier;
}
