#include "SystemdServiceManager.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "ChildProcess.h"
#include "PlatformLog.h"
#include "PosixFolderProvider.h"
#include "StopSignals.h"
#include "SystemdNotifySocket.h"

namespace brondal::platform {

namespace {

constexpr const char* UnitSuffix = ".service";

// A value on one unit-file line: "%" starts a specifier there, and a line break would end
// the value.
std::string UnitValue(std::string_view text) {
    std::string value;
    for (const char c : text) {
        if (c == '%') {
            value += "%%";
        } else if (c == '\n' || c == '\r') {
            value += ' ';
        } else {
            value += c;
        }
    }
    return value;
}

// The executable as the one quoted word of ExecStart, so that folders with spaces work;
// inside the quotes backslash and quote are escaped C-style.
std::string QuotedCommand(std::string_view path) {
    std::string quoted = "\"";
    for (const char c : UnitValue(path)) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

bool WriteNewFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        PLATFORM_LOG(LogSevere, "Unable to create %s: %s", path.c_str(), ::strerror(errno));
        return false;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    const bool ok = ::close(fd) == 0 && written == text.size();
    if (!ok) {
        PLATFORM_LOG(LogSevere, "Unable to write %s", path.c_str());
        ::unlink(path.c_str());
    }
    return ok;
}

bool IsSymbolicLink(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// A link left behind by an earlier installation is replaced, as systemctl enable does;
// anything else in its place is not touched.
bool MakeLink(const std::string& target, const std::string& link) {
    if (::symlink(target.c_str(), link.c_str()) == 0) return true;
    if (errno == EEXIST && IsSymbolicLink(link) && ::unlink(link.c_str()) == 0 &&
        ::symlink(target.c_str(), link.c_str()) == 0) {
        return true;
    }
    PLATFORM_LOG(LogSevere, "Unable to create the link %s: %s", link.c_str(), ::strerror(errno));
    return false;
}

bool RemoveIfPresent(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    PLATFORM_LOG(LogSevere, "Unable to remove %s: %s", path.c_str(), ::strerror(errno));
    return false;
}

// systemd reads unit files only when asked; when it does not run (the system was not booted
// with it) there is nobody to ask.
bool ReloadRunningSystemd() {
    struct stat info;
    if (::stat("/run/systemd/system", &info) != 0 || !S_ISDIR(info.st_mode)) return true;
    return RunAndWait({"systemctl", "daemon-reload"});
}

class SignalStopRequestWatch final : public StopRequestWatch {
public:
    explicit SignalStopRequestWatch(std::unique_ptr<StopSignalWatcher> watcher)
        : watcher_(std::move(watcher)) {}

private:
    std::unique_ptr<StopSignalWatcher> watcher_;
};

}  // namespace

SystemdServiceManager::Layout SystemdServiceManager::SystemLayout() {
    const char* notifySocket = std::getenv("NOTIFY_SOCKET");
    const char* journalStream = std::getenv("JOURNAL_STREAM");
    return Layout{"/etc/systemd/system", "/etc/systemd/system/multi-user.target.wants",
                  &ReloadRunningSystemd, notifySocket ? notifySocket : "",
                  journalStream ? journalStream : ""};
}

SystemdServiceManager::SystemdServiceManager(Layout layout) : layout_(std::move(layout)) {}

std::string SystemdServiceManager::UnitName(std::string_view serviceName) {
    std::string name;
    for (const char c : serviceName) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == ':' || c == '-' || c == '_' || c == '.';
        if (allowed) name += c;
    }
    return name;
}

std::string SystemdServiceManager::UnitText(std::string_view executablePath,
                                            std::string_view displayName,
                                            std::string_view description) {
    std::string text;
    if (!description.empty()) text += "# " + UnitValue(description) + "\n";
    text += "[Unit]\n";
    text += "Description=" + UnitValue(displayName) + "\n";
    text += "\n";
    text += "[Service]\n";
    text += "Type=notify\n";
    text += "ExecStart=" + QuotedCommand(executablePath) + "\n";
    text += "User=root\n";
    text += "Restart=on-failure\n";
    // Each display and client connection is a descriptor; the default soft limit of 1024
    // would stop the service at about a thousand of them.
    text += "LimitNOFILE=1048576\n";
    text += "\n";
    text += "[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

std::string SystemdServiceManager::Notification(const ServiceStatus& status) {
    switch (status.currentState) {
        case service::StateRunning:
            return "READY=1\nSTATUS=Running";
        case service::StatePaused:
            return "STATUS=Paused";
        case service::StateStopPending:
            return "STOPPING=1";
        default:
            return {};
    }
}

std::string SystemdServiceManager::StatusNotification(std::string_view text) {
    std::string message = "STATUS=";
    for (const char c : text)
        message += c == '\n' || c == '\r' ? ' ' : c;
    return message;
}

std::string SystemdServiceManager::UnitPath(const std::string& serviceName) const {
    return layout_.unitFolder + "/" + UnitName(serviceName) + UnitSuffix;
}

std::string SystemdServiceManager::LinkPath(const std::string& serviceName) const {
    return layout_.wantsFolder + "/" + UnitName(serviceName) + UnitSuffix;
}

void SystemdServiceManager::Reload() {
    // The unit files are right either way; systemd that missed the change still finds a
    // new unit when asked for it by name, and reads the rest at its next reload or boot.
    if (layout_.reload && !layout_.reload()) {
        PLATFORM_LOG(LogWarning, "systemd did not reload its unit files");
    }
}

bool SystemdServiceManager::Install(const std::string& executablePath,
                                    const std::string& serviceName, const std::string& displayName,
                                    const std::string& description) {
    if (UnitName(serviceName).empty()) return false;
    const std::string unit = UnitPath(serviceName);
    // Created exclusively: like a service manager's own registry, an existing unit of the
    // name means the service is installed already.
    if (!WriteNewFile(unit, UnitText(executablePath, displayName, description))) return false;
    PosixFolderProvider::CreateFolderChain(layout_.wantsFolder.c_str());
    if (!MakeLink(unit, LinkPath(serviceName))) {
        ::unlink(unit.c_str());
        return false;
    }
    Reload();
    return true;
}

bool SystemdServiceManager::Uninstall(const std::string& serviceName) {
    if (UnitName(serviceName).empty()) return false;
    const std::string unit = UnitPath(serviceName);
    struct stat info;
    if (::lstat(unit.c_str(), &info) != 0) return false;
    // The link first, so that a failure never leaves the service enabled without its unit.
    if (!RemoveIfPresent(LinkPath(serviceName)) || !RemoveIfPresent(unit)) return false;
    Reload();
    return true;
}

std::unique_ptr<ServiceStatusChannel> SystemdServiceManager::Connect(std::string* reason) {
    return SystemdNotifySocket::Open(layout_.notifySocket, reason);
}

std::unique_ptr<StopRequestWatch> SystemdServiceManager::WatchStopRequests(
    std::function<void()> onStop, std::string* reason) {
    auto watcher = StopSignalWatcher::Start([onStop = std::move(onStop)](int) { onStop(); });
    if (!watcher) {
        *reason = "Unable to watch for SIGINT and SIGTERM";
        return nullptr;
    }
    return std::make_unique<SignalStopRequestWatch>(std::move(watcher));
}

bool SystemdServiceManager::StandardErrorIsManagerLog() {
    return !layout_.notifySocket.empty() || !layout_.journalStream.empty();
}

}  // namespace brondal::platform

namespace brondal {

ServiceManager& SystemServiceManager() {
    static platform::SystemdServiceManager manager(platform::SystemdServiceManager::SystemLayout());
    return manager;
}

}  // namespace brondal
