#include "ui/UserInterface.h"

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
