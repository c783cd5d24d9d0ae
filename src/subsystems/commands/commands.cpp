#include "commands/commands.h"

#include "platform/link/serialcontrol.h"
#include "platform/widgets/controls.h"
#include "shared/errortrap.h"
#include "shared/vocabulary.h"

#include <QPushButton>

Commands::Commands(Parts parts) : p_(std::move(parts)) {}

void Commands::btnTest_Click(std::int16_t index) {
    p_.trap.run(QStringLiteral("btnTest_Click"), [&] {
        if (index >= 0 && index < vocabulary::PollingSwitch) {
            if (!p_.comm.PortOpen())
                p_.comm.setPortOpen(true);
            p_.comm.Output(vocabulary::serialLine(p_.buttons[index]->text()));
        } else if (index == vocabulary::PollingSwitch) {
            p_.pollingOn = p_.pollingOn == True ? False : True;
        }
    });
}

void Commands::Timer1_Timer() {
    p_.trap.run(QStringLiteral("Timer1_Timer"), [&] {
        if (p_.txtSend.Visible())
            p_.activeLink.set(QStringLiteral("TCP/IP Port Active"));
        else if (p_.txtRS232Send.Visible())
            p_.activeLink.set(QStringLiteral("Serial Port Active"));

        if (p_.tcpConnected == True)
            p_.tcpStatus.set(QStringLiteral("Connect To TCP/IP: ") + p_.remoteAddress);
        else
            p_.tcpStatus.set(QStringLiteral("Disconnect from TCP/IP: ") + p_.remoteAddress);

        if (p_.pollingOn == True && p_.tcpConnected == True) {
            p_.pollStep = static_cast<std::int16_t>(p_.pollStep + 1);
            if (p_.pollStep > static_cast<std::int16_t>(vocabulary::PollingCycle.size()) ||
                p_.pollStep < 1)
                p_.pollStep = 1;
            p_.sendTcp(vocabulary::word(vocabulary::PollingCycle[p_.pollStep - 1]));
        }
    });
}
