// The TCP transport over loopback, plain and inside TLS 1.2: round-trip latency of a small
// frame (median and 99th percentile as counters, in microseconds) and one-way streaming
// throughput with 64 KiB frames.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "FrameSink.h"
#include "IRefCountImpl.h"
#include "NetworkTransportImpl.h"
#include "RefPtr.h"
#include "TcpSocket.h"

namespace {

using namespace brondal;

constexpr std::uint32_t Loopback = 0x7f000001;
const UUID Channel(0x0badcafe, 0x1234, 0x5678, 0x9abcdef012345678);

std::uint16_t FreePort() {
    int socket = platform::TcpCreate();
    platform::TcpBind(socket, Loopback, 0);
    std::uint16_t port = 0;
    platform::TcpGetLocal(socket, nullptr, &port);
    platform::TcpClose(socket);
    return port;
}

std::string Pem(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

TlsSettings MakeTlsSettings() {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* certificate = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, key);
    X509_sign(certificate, key, EVP_sha256());
    TlsSettings settings;
    settings.enabled = true;
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    settings.certificate = Pem(bio);
    bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    settings.privateKey = Pem(bio);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return settings;
}

// A listening transport and a client connected to it.
struct Pair {
    explicit Pair(bool tls) {
        const std::uint16_t port = FreePort();
        if (tls) {
            platform::CreateInstance(Loopback, port, MakeTlsSettings(), server.Receive());
        } else {
            platform::CreateInstance(Loopback, port, server.Receive());
        }
        server->Initialize(false, true);
        if (tls) server->SetEncryptionEnabled(true);
        server->AddNotify(serverSink.Get());
        platform::CreateInstance(0, 0, client.Receive());
        client->Initialize(false, true);
        client->AddNotify(clientSink.Get());
        client->OpenConnection(Loopback, port, &id, 5000);
    }
    ~Pair() {
        client->Finalize();
        server->Finalize();
    }

    RefPtr<ITransport> server;
    RefPtr<ITransport> client;
    RefPtr<bench::FrameSink> serverSink = RefPtr<bench::FrameSink>::Adopt(new bench::FrameSink);
    RefPtr<bench::FrameSink> clientSink = RefPtr<bench::FrameSink>::Adopt(new bench::FrameSink);
    UUID id;
};

void RoundTrip(benchmark::State& state, bool tls) {
    Pair pair(tls);
    pair.serverSink->EchoThrough(pair.server.Get());
    RefPtr<IDataStream> payload = bench::Payload(64);
    std::vector<double> samples;
    std::uint64_t expected = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (Failed(pair.client->Write(pair.id, Channel, payload.Get())) ||
            !pair.clientSink->WaitFrames(++expected)) {
            state.SkipWithError("a round trip failed or never came back");
            break;
        }
        samples.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[samples.size() * 99 / 100];
    }
}

void Stream64K(benchmark::State& state, bool tls) {
    Pair pair(tls);
    constexpr std::uint32_t FrameSize = 64 * 1024;
    RefPtr<IDataStream> payload = bench::Payload(FrameSize);
    std::uint64_t sent = 0;
    for (auto _ : state) {
        if (Failed(pair.client->Write(pair.id, Channel, payload.Get()))) {
            state.SkipWithError("a write failed");
            break;
        }
        ++sent;
    }
    if (!pair.serverSink->WaitFrames(sent)) state.SkipWithError("frames were lost");
    state.SetBytesProcessed(static_cast<std::int64_t>(sent) * FrameSize);
}

void BM_RoundTripPlain(benchmark::State& state) { RoundTrip(state, false); }
void BM_RoundTripTls(benchmark::State& state) { RoundTrip(state, true); }
void BM_Stream64KPlain(benchmark::State& state) { Stream64K(state, false); }
void BM_Stream64KTls(benchmark::State& state) { Stream64K(state, true); }

BENCHMARK(BM_RoundTripPlain)->UseRealTime()->Iterations(20000);
BENCHMARK(BM_RoundTripTls)->UseRealTime()->Iterations(20000);
BENCHMARK(BM_Stream64KPlain)->UseRealTime();
BENCHMARK(BM_Stream64KTls)->UseRealTime();

}  // namespace
