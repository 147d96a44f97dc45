#include "port/ThreadHandler.h"

ThreadHandler* ThreadHandler::mpSingleton = nullptr;

ThreadHandler* ThreadHandler::instance() {
    return mpSingleton;
}

void ThreadHandler::registerInstance(ThreadHandler* handler) {
    mpSingleton = handler;
}
