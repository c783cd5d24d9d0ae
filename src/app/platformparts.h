#pragma once

#include "platform/base/clock.h"
#include "platform/link/socketcontrol.h"
#include "platform/widgets/filedialog.h"
#include "platform/widgets/messagebox.h"

#include <functional>
#include <memory>

// The platform parts the main window is built from. The default bundle is the real one;
// tests replace the message box, the file dialog, the clock and, where a real connect
// would leave the machine, the socket control.
struct PlatformParts {
    std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
    std::shared_ptr<MessageBox> messageBox = std::make_shared<ModalMessageBox>();
    std::shared_ptr<FileDialogBackend> fileDialog = std::make_shared<QtFileDialogBackend>();
    std::function<std::unique_ptr<SocketControl>()> makeSocket = [] {
        return std::make_unique<TcpSocketControl>();
    };
};
