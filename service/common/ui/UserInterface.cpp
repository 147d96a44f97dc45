#include "ui/UserInterface.h"

UserInterface* UserInterface::mpSingleton = nullptr;

UserInterface* UserInterface::instance() {
    return mpSingleton;
}

void UserInterface::registerInstance(UserInterface* ui) {
    mpSingleton = ui;
}

std::unique_ptr<CommandResponse> UICommand::execute() {
    if (UserInterface* ui = UserInterface::instance()) {
        ui->sendCommand(this);
    }
    return std::make_unique<CommandResponse>();
}

int UICommand::getCommandBuffer(const char** buffer) {
    if (buffer) {
        *buffer = nullptr;
    }
    return 0;
}
