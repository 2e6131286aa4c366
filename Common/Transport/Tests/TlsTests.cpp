// TLS 1.2 on transport connections: credentials made at test time, encrypted frames both
// ways, bad credentials, and a client that is not this transport.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "LoopbackSupport.h"
#include "NetworkTransportImpl.h"

namespace brondal {
namespace {

using testing::FindFreePort;
using testing::Loopback;
using testing::RecordingListener;
using testing::StreamOf;

const UUID TestChannel(0xa1b2c3d4, 0x0102, 0x0304, 0x0506070809101112);

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(length));
}

// A self-signed certificate and its RSA key as PEM text.
struct Credentials {
    std::string certificate;
    std::string privateKey;
};

Credentials MakeCredentials() {
    Credentials credentials;
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key, EVP_sha256());

    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    credentials.certificate = BioText(bio);
    BIO_free(bio);
    bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    credentials.privateKey = BioText(bio);
    BIO_free(bio);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return credentials;
}

const Credentials& SharedCredentials() {
    static const Credentials credentials = MakeCredentials();
    return credentials;
}

RefPtr<ITransport> MakeTlsServer(std::uint16_t port, const TlsSettings& settings) {
    RefPtr<ITransport> transport;
    EXPECT_EQ(platform::CreateInstance(Loopback, port, settings, transport.Receive()), ResultOk);
    return transport;
}

TlsSettings GoodSettings() {
    TlsSettings settings;
    settings.enabled = true;
    settings.certificate = SharedCredentials().certificate;
    settings.privateKey = SharedCredentials().privateKey;
    return settings;
}

class TlsLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = FindFreePort();
        server_ = MakeTlsServer(port_, GoodSettings());
        ASSERT_EQ(server_->Initialize(false, true), ResultOk);
        ASSERT_EQ(server_->SetEncryptionEnabled(true), ResultOk);
        server_->AddNotify(serverEvents_.Get());
        ASSERT_EQ(platform::CreateInstance(0, 0, client_.Receive()), ResultOk);
        ASSERT_EQ(client_->Initialize(false, true), ResultOk);
        client_->AddNotify(clientEvents_.Get());
    }
    void TearDown() override {
        client_->Finalize();
        server_->Finalize();
    }

    std::uint16_t port_ = 0;
    RefPtr<ITransport> server_;
    RefPtr<ITransport> client_;
    RefPtr<RecordingListener> serverEvents_ =
        RefPtr<RecordingListener>::Adopt(new RecordingListener);
    RefPtr<RecordingListener> clientEvents_ =
        RefPtr<RecordingListener>::Adopt(new RecordingListener);
};

TEST_F(TlsLoopback, EncryptedFramesFlowBothWays) {
    UUID id;
    ASSERT_EQ(client_->OpenConnection(Loopback, port_, &id, 5000), ResultOk);
    std::vector<std::uint8_t> large(700 * 1024);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<std::uint8_t>(i * 13);
    EXPECT_EQ(client_->Write(id, TestChannel, StreamOf({}).Get()), ResultOk);
    EXPECT_EQ(client_->Write(id, TestChannel, StreamOf(large).Get()), ResultOk);
    ASSERT_TRUE(serverEvents_->WaitFrames(2));
    auto frames = serverEvents_->Frames();
    EXPECT_EQ(frames[0].connection, id);
    EXPECT_TRUE(frames[0].payload.empty());
    EXPECT_EQ(frames[1].payload, large);

    for (std::uint8_t i = 0; i < 20; ++i) {
        EXPECT_EQ(server_->Write(id, TestChannel, StreamOf({i, i}).Get()), ResultOk);
    }
    ASSERT_TRUE(clientEvents_->WaitFrames(20));
    EXPECT_EQ(clientEvents_->Frames()[19].payload, (std::vector<std::uint8_t>{19, 19}));
    EXPECT_EQ(client_->CloseConnection(id), ResultOk);
    ASSERT_TRUE(serverEvents_->WaitEvents(ITransport::ConnectionClosed, 1));
}

TEST_F(TlsLoopback, KeepAliveRunsInsideTheSession) {
    UUID id;
    ASSERT_EQ(client_->OpenConnection(Loopback, port_, &id, 5000), ResultOk);
    ASSERT_EQ(client_->SetKeepAlive(id, 50, 5000), ResultOk);
    // Pings and user frames interleave on one session without corrupting it.
    for (std::uint8_t i = 0; i < 50; ++i) {
        ASSERT_EQ(client_->Write(id, TestChannel, StreamOf({i}).Get()), ResultOk);
    }
    ASSERT_TRUE(serverEvents_->WaitFrames(50));
    EXPECT_EQ(serverEvents_->Frames()[49].payload, (std::vector<std::uint8_t>{49}));
}

TEST(TlsCredentials, MissingOrWrongKeyMaterialFailsInitialize) {
    testing::LogCapture log;
    const std::uint16_t port = FindFreePort();
    TlsSettings empty = GoodSettings();
    empty.privateKey.clear();
    EXPECT_EQ(MakeTlsServer(port, empty)->Initialize(false, true), ResultFail);
    EXPECT_TRUE(log.Contains("We must have valid certificate and private key parameters"));

    TlsSettings garbledCertificate = GoodSettings();
    garbledCertificate.certificate =
        "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
    EXPECT_EQ(MakeTlsServer(port, garbledCertificate)->Initialize(false, true), ResultFail);
    EXPECT_TRUE(log.Contains("Unable to load cert"));

    TlsSettings garbledKey = GoodSettings();
    garbledKey.privateKey = "not a key";
    EXPECT_EQ(MakeTlsServer(port, garbledKey)->Initialize(false, true), ResultFail);
    EXPECT_TRUE(log.Contains("Unable to load pk"));

    // A well-formed key that belongs to another certificate.
    TlsSettings mismatched = GoodSettings();
    mismatched.privateKey = MakeCredentials().privateKey;
    EXPECT_EQ(MakeTlsServer(port, mismatched)->Initialize(false, true), ResultFail);

    TlsSettings badCiphers = GoodSettings();
    badCiphers.cipherList = "NO-SUCH-CIPHER";
    EXPECT_EQ(MakeTlsServer(port, badCiphers)->Initialize(false, true), ResultFail);
    EXPECT_TRUE(log.Contains("Failed to set cipher list"));

    // The failures left the port free.
    RefPtr<ITransport> good = MakeTlsServer(port, GoodSettings());
    EXPECT_EQ(good->Initialize(false, true), ResultOk);
    good->Finalize();
}

TEST_F(TlsLoopback, PlainClientThatIgnoresTheTlsRequestIsRefused) {
    // A client that reads the handshake and then sends frame bytes in the clear: the
    // server's TLS handshake fails and the connection never reaches the table.
    int socket = platform::TcpCreate();
    ASSERT_EQ(platform::TcpConnect(socket, Loopback, port_, 2000), 0);
    std::uint8_t handshake[49];
    ASSERT_EQ(platform::TcpRecvAll(socket, handshake, sizeof handshake), 49);
    EXPECT_EQ(handshake[48], 1);
    const char junk[] = "BRDMSG\0\0\0\0\0 not a TLS client hello at all";
    platform::TcpSend(socket, junk, sizeof junk);
    std::uint8_t byte;
    ASSERT_EQ(platform::TcpWaitReadable(socket, 10000), 1);
    EXPECT_LE(platform::TcpRecv(socket, &byte, 1), 1);
    platform::TcpClose(socket);
    // The failed connection removes itself from the table (a queued removal).
    EXPECT_TRUE(testing::PollUntil([&] {
        std::uint32_t count = 1;
        server_->GetStatistics(&count);
        return count == 0;
    }));
    EXPECT_EQ(serverEvents_->CountEvents(ITransport::ConnectionOpened), 0u);
}

// The TLS handshake of an accepted connection runs on that connection's own thread: a client
// that connects and never starts one must not stop the listener from serving others.
TEST_F(TlsLoopback, SilentClientsDoNotStopAccepting) {
    std::vector<int> silent;
    for (int i = 0; i < 3; ++i) {
        silent.push_back(platform::TcpCreate());
        ASSERT_EQ(platform::TcpConnect(silent.back(), Loopback, port_, 2000), 0);
    }
    UUID id;
    // Well inside the 5 s a silent client may hold its own handshake.
    ASSERT_EQ(client_->OpenConnection(Loopback, port_, &id, 1500), ResultOk);
    ASSERT_TRUE(serverEvents_->WaitEvents(ITransport::ConnectionOpened, 1));
    EXPECT_EQ(serverEvents_->Events().front().first, id);
    for (int socket : silent)
        platform::TcpClose(socket);
}

// A TLS client written with Python's ssl module: reads the 49-byte handshake, completes
// TLS 1.2 over the same socket, sends one frame and reads the one the test writes back.
TEST_F(TlsLoopback, ForeignTlsClientExchangesFrames) {
    if (std::system("python3 -c 'import ssl' > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "python3 with ssl is not available";
    }
    const std::string script = ::testing::TempDir() + "tls_client.py";
    const std::string output = ::testing::TempDir() + "tls_client.out";
    {
        std::ofstream file(script);
        file << R"(import socket, ssl, struct, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
hs = b""
while len(hs) < 49:
    hs += s.recv(49 - len(hs))
assert hs[:11] == b"BRDTRPT0002" and hs[48] == 1, hs
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
ctx.minimum_version = ssl.TLSVersion.TLSv1_2
t = ctx.wrap_socket(s)
channel = bytes.fromhex("d4c3b2a1020104030506070809101112")
t.sendall(b"BRDMSG\0" + struct.pack("<I", 5) + channel + b"hello")
head = b""
while len(head) < 27:
    head += t.recv(27 - len(head))
n = struct.unpack("<I", head[7:11])[0]
body = b""
while len(body) < n:
    body += t.recv(n - len(body))
print(t.version(), hs[11:47].decode(), body.decode())
)";
    }
    std::FILE* pipe = popen(
        ("python3 " + script + " " + std::to_string(port_) + " > " + output + " 2>&1").c_str(),
        "w");
    ASSERT_NE(pipe, nullptr);
    ASSERT_TRUE(serverEvents_->WaitFrames(1));
    auto frame = serverEvents_->Frames()[0];
    EXPECT_EQ(frame.channel, TestChannel);
    EXPECT_EQ(frame.payload, (std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(
        server_->Write(frame.connection, TestChannel, StreamOf({'w', 'o', 'r', 'l', 'd'}).Get()),
        ResultOk);
    EXPECT_EQ(pclose(pipe), 0);
    std::ifstream result(output);
    std::string line;
    std::getline(result, line);
    EXPECT_EQ(line, "TLSv1.2 " + frame.connection.ToString() + " world");
}

}  // namespace
}  // namespace brondal
