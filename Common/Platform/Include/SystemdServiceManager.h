#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ServiceManager.h"

namespace brondal::platform {

// systemd as the service manager.
//  - A service is a unit file "<UnitName>.service" in the unit folder, started as root with
//    Type=notify and restarted when it fails. Installing enables it the way
//    `systemctl enable` does, with a link in multi-user.target.wants; installing and
//    removing then ask a running systemd to read its unit files again.
//  - A process systemd started finds the address of systemd's notification socket in
//    NOTIFY_SOCKET, and reports its state there in datagrams of "KEY=value" lines.
//  - systemd stops a service with SIGTERM; a person at a terminal with SIGINT. Both are stop
//    requests here (see StopSignals.h: they must be blocked before any thread starts).
class SystemdServiceManager final : public ServiceManager {
public:
    // Where units go and how systemd learns of them; tests point all of it elsewhere.
    struct Layout {
        std::string unitFolder;
        // Links here start the unit with the system.
        std::string wantsFolder;
        // Asks a running systemd to read the unit files again; false when that failed.
        std::function<bool()> reload;
        // NOTIFY_SOCKET as systemd set it; empty when systemd did not start this process.
        std::string notifySocket;
        // JOURNAL_STREAM as systemd set it: standard error is connected to the journal.
        std::string journalStream;
    };

    // /etc/systemd/system, its multi-user.target.wants, `systemctl daemon-reload` when
    // systemd runs (the system was booted with it), and this process's NOTIFY_SOCKET and
    // JOURNAL_STREAM.
    static Layout SystemLayout();

    explicit SystemdServiceManager(Layout layout);

    bool Install(const std::string& executablePath, const std::string& serviceName,
                 const std::string& displayName, const std::string& description) override;
    bool Uninstall(const std::string& serviceName) override;
    std::unique_ptr<ServiceStatusChannel> Connect(std::string* reason) override;
    std::unique_ptr<StopRequestWatch> WatchStopRequests(std::function<void()> onStop,
                                                        std::string* reason) override;
    // When systemd started the process (NOTIFY_SOCKET) or connected its standard error to
    // the journal (JOURNAL_STREAM); a unit's output goes to the journal unless it says
    // otherwise.
    bool StandardErrorIsManagerLog() override;

    // The unit's name for a service name: the characters a unit name may hold (letters,
    // digits, ":", "-", "_", "."), the others dropped. "My Service" gives "MyService".
    static std::string UnitName(std::string_view serviceName);
    // The unit file's text. The display name is the unit's Description (what systemctl shows);
    // the description proper, having no field of its own, is the comment heading the file.
    static std::string UnitText(std::string_view executablePath, std::string_view displayName,
                                std::string_view description);
    // What a status tells systemd: running "READY=1\nSTATUS=Running", paused
    // "STATUS=Paused", stop pending "STOPPING=1"; empty for the states systemd learns of on
    // its own (starting, stopped) or has no word for.
    static std::string Notification(const ServiceStatus& status);
    // "STATUS=" and the text, its line breaks made spaces: a line break would start another
    // assignment, and the text may name things peers chose.
    static std::string StatusNotification(std::string_view text);

private:
    std::string UnitPath(const std::string& serviceName) const;
    std::string LinkPath(const std::string& serviceName) const;
    void Reload();

    Layout layout_;
};

}  // namespace brondal::platform
