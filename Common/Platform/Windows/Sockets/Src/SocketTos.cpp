// DSCP marking through qWave, loaded at run time: the library is missing on some editions
// (and under Wine it may be a stub), and the transport must work without it.
//
// One qWave handle serves the process; each marked socket is one flow, remembered here by
// socket. The handle and the flows are guarded by one process-wide lock, as the library's
// handle is not documented as safe for concurrent use.
#include "SocketTos.h"

#include <mutex>
#include <unordered_map>

#include "Winsock.h"

namespace brondal::platform {

namespace {

// qWave's types and values, declared here: the library is loaded at run time, and the
// cross compiler's header for it does not compile.
struct QOS_VERSION {
    USHORT MajorVersion;
    USHORT MinorVersion;
};
using PQOS_VERSION = QOS_VERSION*;
using QOS_FLOWID = UINT32;
using PQOS_FLOWID = QOS_FLOWID*;
using QOS_TRAFFIC_TYPE = int;
using QOS_SET_FLOW = int;
constexpr QOS_TRAFFIC_TYPE QOSTrafficTypeBestEffort = 0;
constexpr QOS_TRAFFIC_TYPE QOSTrafficTypeBackground = 1;
constexpr QOS_TRAFFIC_TYPE QOSTrafficTypeAudioVideo = 3;
constexpr QOS_TRAFFIC_TYPE QOSTrafficTypeVoice = 4;
constexpr QOS_SET_FLOW QOSSetOutgoingDSCPValue = 2;
constexpr DWORD QOS_NON_ADAPTIVE_FLOW = 2;

using CreateHandle = BOOL(WINAPI*)(PQOS_VERSION, PHANDLE);
using CloseHandleFn = BOOL(WINAPI*)(HANDLE);
using AddSocketToFlow = BOOL(WINAPI*)(HANDLE, SOCKET, PSOCKADDR, QOS_TRAFFIC_TYPE, DWORD,
                                      PQOS_FLOWID);
using RemoveSocketFromFlow = BOOL(WINAPI*)(HANDLE, SOCKET, QOS_FLOWID, DWORD);
using SetFlow = BOOL(WINAPI*)(HANDLE, QOS_FLOWID, QOS_SET_FLOW, ULONG, PVOID, DWORD, LPOVERLAPPED);

struct QWave {
    std::mutex lock;
    bool attempted = false;
    HMODULE library = nullptr;
    CreateHandle create = nullptr;
    CloseHandleFn close = nullptr;
    AddSocketToFlow add = nullptr;
    RemoveSocketFromFlow remove = nullptr;
    SetFlow set = nullptr;
    HANDLE handle = nullptr;
    // Socket → its flow, for the sockets marked now.
    std::unordered_map<int, QOS_FLOWID> flows;
};

QWave& TheLibrary() {
    static QWave* const library = new QWave();
    return *library;
}

template <class F>
F Entry(HMODULE library, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}

// Under the lock. Loads the library once (success or not) and opens the process's handle.
bool Ready(QWave& q) {
    if (!q.attempted) {
        q.attempted = true;
        q.library = ::LoadLibraryW(L"qWave.dll");
        if (q.library) {
            q.create = Entry<CreateHandle>(q.library, "QOSCreateHandle");
            q.close = Entry<CloseHandleFn>(q.library, "QOSCloseHandle");
            q.add = Entry<AddSocketToFlow>(q.library, "QOSAddSocketToFlow");
            q.remove = Entry<RemoveSocketFromFlow>(q.library, "QOSRemoveSocketFromFlow");
            q.set = Entry<SetFlow>(q.library, "QOSSetFlow");
            if (!q.create || !q.close || !q.add || !q.remove || !q.set) {
                ::FreeLibrary(q.library);
                q.library = nullptr;
            }
        }
        QOS_VERSION version{1, 0};
        if (q.library && !q.create(&version, &q.handle)) q.handle = nullptr;
    }
    return q.handle != nullptr;
}

QOS_TRAFFIC_TYPE TrafficType(int dscp) {
    switch ((dscp >> 3) & 7) {
        case 0:
            return QOSTrafficTypeBestEffort;
        case 1:
            return QOSTrafficTypeBackground;
        case 6:
        case 7:
            return QOSTrafficTypeVoice;
        default:
            return QOSTrafficTypeAudioVideo;
    }
}

int LastError() {
    const DWORD error = ::GetLastError();
    return error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

}  // namespace

int SetSocketTos(int socket, int tos) {
    QWave& q = TheLibrary();
    std::lock_guard guard(q.lock);
    if (!Ready(q)) return ERROR_NOT_SUPPORTED;
    const SOCKET s = ToSocket(socket);
    auto found = q.flows.find(socket);
    if (tos == 0) {
        if (found == q.flows.end()) return 0;
        const QOS_FLOWID flow = found->second;
        q.flows.erase(found);
        return q.remove(q.handle, s, flow, 0) ? 0 : LastError();
    }
    const int dscp = (tos >> 2) & 63;
    if (found == q.flows.end()) {
        QOS_FLOWID flow = 0;
        // The flow itself marks by traffic type; the exact value follows.
        if (!q.add(q.handle, s, nullptr, TrafficType(dscp), QOS_NON_ADAPTIVE_FLOW, &flow)) {
            return LastError();
        }
        found = q.flows.emplace(socket, flow).first;
    }
    DWORD value = static_cast<DWORD>(dscp);
    if (q.set(q.handle, found->second, QOSSetOutgoingDSCPValue, sizeof value, &value, 0, nullptr)) {
        return 0;
    }
    const int error = LastError();
    // Only administrators may set exact values. A class selector (the low three bits
    // clear) asked for after that is what the flow's traffic type gives already.
    if (error == ERROR_ACCESS_DENIED && (dscp & 7) == 0) return 0;
    return error;
}

int GetSocketTos(int socket, int* tos) {
    // Marking lives in the flow, not in the socket, and qWave does not read it back; the
    // socket option tells what the socket itself carries.
    int value = 0;
    int size = sizeof value;
    if (::getsockopt(ToSocket(socket), IPPROTO_IP, IP_TOS, reinterpret_cast<char*>(&value),
                     &size) != 0) {
        return ::WSAGetLastError();
    }
    *tos = value;
    return 0;
}

bool SocketMarkingAvailable() {
    QWave& q = TheLibrary();
    std::lock_guard guard(q.lock);
    return Ready(q);
}

bool SocketMarkingReadsBack() { return false; }

bool IsMarkingNotPermitted(int error) { return error == ERROR_ACCESS_DENIED || error == WSAEACCES; }

}  // namespace brondal::platform
