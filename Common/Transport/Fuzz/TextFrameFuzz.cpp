// The text frame receiver over bytes that arrive as the fuzzer scripts them. Every text it
// delivers must be one that the peer sent after a prefix (in any letter case), in order,
// ending at its first ';' within the attempt limit; with every byte there at once it must
// deliver exactly what the rules written out below find. An encoded frame comes back whole.
//
// Input: a mode byte; odd: the text frame encoder over the remaining bytes as payload (whole
// arrival); even: the scripted source (ScriptedByteSource::Take).
#include <cctype>
#include <string>

#include "FrameEncoder.h"
#include "FuzzStreams.h"
#include "FuzzSupport.h"
#include "ScriptedByteSource.h"
#include "TextFrameReceiver.h"
#include "WireFormat.h"

namespace brondal::fuzz {
namespace {

const std::string Prefix(std::begin(TextFramePrefix), std::end(TextFramePrefix));

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return text;
}

// With every byte there: each prefix opens a text that ends at the first ';' within the
// attempt limit; a text without one is dropped with the bytes read for it.
std::vector<std::string> ExpectedTexts(const std::string& wire) {
    std::vector<std::string> texts;
    std::size_t at = 0;
    while (wire.size() - at >= Prefix.size()) {
        if (Upper(wire.substr(at, Prefix.size())) != Prefix) {
            ++at;
            continue;
        }
        at += Prefix.size();
        const std::size_t limit =
            std::min<std::size_t>(TextFrameReceiver::MaxTextAttempts, wire.size() - at);
        const std::size_t semicolon = wire.substr(at, limit).find(';');
        if (semicolon == std::string::npos) {
            at += limit;
            continue;
        }
        texts.push_back(wire.substr(at, semicolon + 1));
        at += semicolon + 1;
    }
    return texts;
}

std::vector<std::string> Receive(ScriptedByteSource& source) {
    std::vector<std::string> texts;
    const TextFrameReceiver::Deliver deliver = [&](IDataStream* stream) {
        std::string text;
        FUZZ_CHECK(stream->ReadString(&text) == ResultOk);
        FUZZ_CHECK(RestOf(stream).empty());
        texts.push_back(std::move(text));
    };
    // One receiver for the whole connection: a prefix matched part-way carries over.
    TextFrameReceiver receiver;
    for (std::size_t pass = 0; pass <= source.Wire().size() + 256 + 2; ++pass) {
        const std::size_t before = source.Consumed();
        const std::size_t delivered = texts.size();
        FUZZ_CHECK(receiver.ReceivePass(source, deliver) == texts.size() - delivered);
        // A pass that takes nothing with every byte there ends the connection's reading.
        if (source.AllArrived() && source.Consumed() == before) return texts;
    }
    FUZZ_CHECK(!"the receiver keeps passing without taking bytes");
    return texts;
}

// Each text is in the wire after a prefix and after the previous one, and is one frame.
void CheckDelivered(const std::string& wire, const std::vector<std::string>& texts) {
    const std::string upper = Upper(wire);
    std::size_t at = 0;
    for (const std::string& text : texts) {
        FUZZ_CHECK(!text.empty() && text.size() <= TextFrameReceiver::MaxTextAttempts);
        FUZZ_CHECK(text.find(';') == text.size() - 1);
        std::size_t found = std::string::npos;
        for (std::size_t p = upper.find(Prefix, at); p != std::string::npos;
             p = upper.find(Prefix, p + 1)) {
            if (wire.compare(p + Prefix.size(), text.size(), text) == 0) {
                found = p;
                break;
            }
        }
        FUZZ_CHECK(found != std::string::npos);
        at = found + Prefix.size() + text.size();
    }
}

}  // namespace

std::vector<Seed> FuzzSeeds() {
    auto receive = [](const std::string& wire, const Bytes& script = {}, std::uint8_t end = 0) {
        return SeedWriter()
            .Byte(0)
            .Append(ScriptedByteSource::Layout(Bytes(wire.begin(), wire.end()), script, end))
            .Get();
    };
    const std::string longText = "BRDMSG:" + std::string(120, 'x') + ";BRDMSG:after;";
    return {
        {"one", receive("BRDMSG:hello;")},
        {"two-lower-case", receive("brdmsg:a;bRdMsG:second text;", {}, 1)},
        {"junk-between", receive("xyBRDMSG:one;zzBRDMS BRDMSG:two;")},
        {"no-semicolon", receive(longText)},
        {"byte-by-byte", receive("BRDMSG:split;", Bytes(13, 1))},
        {"quiet-in-text", receive("BRDMSG:slow;", {9, 0, 0, 0, 1, 0, 2})},
        {"closed-in-text", receive("BRDMSG:unfinished", {}, 1)},
        {"prefix-cut", receive("BRDMS", {}, 2)},
        {"encode", SeedWriter().Byte(1).Append(std::string("status=ok;")).Get()},
    };
}

void FuzzOne(FuzzInput& input) {
    if ((input.Byte() & 1) != 0) {
        // The caller's text ends with ';' and holds no other.
        std::string text = input.Text(TextFrameReceiver::MaxTextAttempts - 1);
        std::erase(text, ';');
        text.push_back(';');
        std::vector<std::uint8_t> wire;
        FUZZ_CHECK(EncodeTextFrame(StreamOf(Bytes(text.begin(), text.end())).Get(), true, &wire) ==
                   ResultOk);
        FUZZ_CHECK(std::string(wire.begin(), wire.end()) == Prefix + text);
        RefPtr<ScriptedByteSource> source =
            ScriptedByteSource::Create(Bytes(wire.begin(), wire.end()));
        FUZZ_CHECK(Receive(*source) == std::vector<std::string>{text});
        return;
    }
    RefPtr<ScriptedByteSource> source = ScriptedByteSource::Take(input);
    const std::string wire(source->Wire().begin(), source->Wire().end());
    const std::vector<std::string> texts = Receive(*source);
    CheckDelivered(wire, texts);
    RefPtr<ScriptedByteSource> whole = ScriptedByteSource::Create(source->Wire());
    FUZZ_CHECK(Receive(*whole) == ExpectedTexts(wire));
}

}  // namespace brondal::fuzz
