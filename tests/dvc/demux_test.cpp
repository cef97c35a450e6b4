#include "dvc/demux.hpp"

#include <gtest/gtest.h>

#include <random>

#include "dvc/dvc.hpp"
#include "stream_builder.hpp"

namespace vestrel {
namespace {

using test::Bytes;
using test::operator+;

Bytes video_bytes(const Demux& d) { return d.video_payload; }
Bytes audio_bytes(const Demux& d) { return Bytes(d.audio_ring.data(), d.audio_ring.data() + d.audio_ring.size()); }

// One stream with every header form the demultiplexer knows, and what it must deliver.
struct Sample {
    Bytes stream;
    Bytes video;
    Bytes audio;
};

Sample header_forms() {
    using namespace test;
    Sample s;
    // MPEG-1: stuffing, the buffer-size field, presentation and decode stamps.
    s.stream = mpeg1_pack() + packet(0xBB, {0x80, 0x01, 0x01, 0x04, 0xE1, 0xFF}, {}) +
               packet(0xE0, Bytes{0xFF, 0xFF, 0x60, 0x10} + stamp(3, 0x1'2345'6789) + stamp(1, 0x0'0000'1000),
                      {0xA1, 0xA2, 0xA3});
    // Presentation stamp only, an audio packet.
    s.stream = s.stream + packet(0xC0, stamp(2, 90000), {0xB1, 0xB2});
    // No stamps (0x0F), then a padding packet and a private stream.
    s.stream = s.stream + packet(0xE0, {0x0F}, {0xA4}) + packet(0xBE, {}, Bytes(20, 0xFF)) +
               packet(0xBD, {}, {0xEE, 0xEE});
    // A zero-length packet is skipped up to the next prefix.
    s.stream = s.stream + open_packet(0xE0, {0xEE, 0xEE, 0xEE});
    // MPEG-2 packs and packet headers.
    s.stream = s.stream + mpeg2_pack(3) +
               packet(0xE0, Bytes{0x80, 0xC0, 0x0A} + stamp(3, 5000) + stamp(1, 4000), {0xA5, 0xA6}) +
               packet(0xC0, Bytes{0x80, 0x80, 0x07} + stamp(2, 7000) + Bytes{0xFF, 0xFF}, {0xB3}) +
               packet(0xE0, {0x81, 0x00, 0x00}, {0xA7});
    // Payload that starts at once (no header byte of its own).
    s.stream = s.stream + packet(0xC0, {}, {0x12}) + test::end_code();
    s.video = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    s.audio = {0xB1, 0xB2, 0xB3, 0x12};
    return s;
}

TEST(Demux, EveryHeaderFormDeliversItsPayload) {
    const Sample s = header_forms();
    Demux d;
    d.feed(s.stream);
    EXPECT_EQ(video_bytes(d), s.video);
    EXPECT_EQ(audio_bytes(d), s.audio);
    EXPECT_EQ(d.end_codes, 1u);
    ASSERT_TRUE(d.decode_stamp);
    EXPECT_EQ(*d.decode_stamp, 4000u);  // the last video packet with a stamp, its decode stamp
    EXPECT_EQ(d.stream_bytes.size(), 0u);
}

TEST(Demux, SplitAnywhereGivesTheSamePayloads) {
    std::vector<Sample> samples{header_forms()};
    // ffmpeg's program streams (MPEG-1, VCD and MPEG-2 packs and packet headers) against the
    // elementary streams they were made from.
    const Bytes audio = test::read_fixture("stereo_44100.mp2");
    const Bytes video = test::read_fixture("ibbp_64x48.m1v");
    for (const char* name : {"audio_mpeg1.mpg", "audio_mpeg2.mpg"}) samples.push_back({test::read_fixture(name), {}, audio});
    for (const char* name : {"av_vcd.mpg", "av_vob.mpg"}) samples.push_back({test::read_fixture(name), video, audio});
    for (const Sample& s : samples) ASSERT_FALSE(s.stream.empty());
    for (const Sample& s : samples) {
        for (size_t cut = 0; cut <= s.stream.size(); ++cut) {
            Demux d;
            d.feed({s.stream.data(), cut});
            d.feed({s.stream.data() + cut, s.stream.size() - cut});
            ASSERT_EQ(video_bytes(d), s.video) << "cut at " << cut;
            ASSERT_EQ(audio_bytes(d), s.audio) << "cut at " << cut;
        }
        // Byte by byte.
        Demux d;
        for (uint8_t b : s.stream) d.feed({&b, 1});
        EXPECT_EQ(video_bytes(d), s.video);
        EXPECT_EQ(audio_bytes(d), s.audio);
    }
}

TEST(Demux, TimeStamps) {
    struct Case {
        const char* name;
        Bytes header;
        std::optional<uint64_t> stamp;
    };
    using test::stamp;
    const Case cases[] = {
        {"MPEG-1 presentation", stamp(2, 0x1'FFFF'FFFF), 0x1'FFFF'FFFF},
        {"MPEG-1 both: the decode stamp", stamp(3, 100) + stamp(1, 99), 99},
        {"MPEG-1 decode stamp broken: the presentation stamp", stamp(3, 100) + stamp(1, 99, false), 100},
        {"MPEG-1 presentation broken", stamp(2, 100, false), std::nullopt},
        {"MPEG-2 presentation", Bytes{0x80, 0x80, 0x05} + stamp(2, 12345), 12345},
        {"MPEG-2 both", Bytes{0x80, 0xC0, 0x0A} + stamp(3, 2) + stamp(1, 1), 1},
        {"MPEG-2 flags without room", Bytes{0x80, 0xC0, 0x04, 1, 2, 3, 4}, std::nullopt},
        {"MPEG-2 decode flag, header of 9", Bytes{0x80, 0xC0, 0x09} + stamp(3, 8) + Bytes{0, 0, 0, 0}, 8},
    };
    for (const Case& c : cases) {
        Demux d;
        d.feed(test::packet(0xE2, c.header, {0x42}));
        EXPECT_EQ(d.decode_stamp, c.stamp) << c.name;
        EXPECT_EQ(d.video_payload, Bytes{0x42}) << c.name;  // a broken stamp is still skipped
    }
    // Bits 4-7 of the first byte are not part of the value.
    EXPECT_EQ(read_time_stamp(Bytes{0xF1, 0, 1, 0, 1}.data()), 0u);
    EXPECT_EQ(read_time_stamp(Bytes{0x0F, 0xFF, 0xFF, 0xFF, 0xFF}.data()), 0x1'FFFF'FFFFu);
}

TEST(Demux, TruncatedHeadersDropTheirPacket) {
    using test::stamp;
    const Bytes headers[] = {
        Bytes(5, 0xFF),                                   // nothing but stuffing
        {0xFF, 0x40},                                     // buffer-size field running off the end
        {0x80, 0xC0},                                     // MPEG-2 header cut after its flags
        Bytes{0x80, 0x80, 0x05, 0x21, 0x00},              // presentation stamp cut
        Bytes{0x80, 0xC0, 0x0A} + stamp(3, 1) + Bytes{1},  // decode stamp cut
        Bytes{0x80, 0x00, 0x20, 1, 2},                    // header length past the packet
        {0x21, 0x00, 0x01},                               // MPEG-1 presentation stamp cut
        stamp(3, 1) + Bytes{0x11},                        // MPEG-1 decode stamp cut
    };
    for (const Bytes& h : headers) {
        Demux d;
        d.feed(test::packet(0xE0, h, {}) + test::packet(0xC0, {0x0F}, {0x77}));
        EXPECT_TRUE(d.video_payload.empty());
        EXPECT_FALSE(d.decode_stamp);
        EXPECT_EQ(audio_bytes(d), Bytes{0x77}) << "the next packet still parses";
    }
}

TEST(Demux, StreamSelection) {
    const Bytes stream = test::packet(0xE0, {0x0F}, {0x10}) + test::packet(0xE1, {0x0F}, {0x11}) +
                         test::packet(0xEF, {0x0F}, {0x1F}) + test::packet(0xC0, {0x0F}, {0x20}) +
                         test::packet(0xDF, {0x0F}, {0x3F}) + test::packet(0xF0, {0x0F}, {0x99});
    Demux all;
    all.feed(stream);
    EXPECT_EQ(video_bytes(all), (Bytes{0x10, 0x11, 0x1F}));
    EXPECT_EQ(audio_bytes(all), (Bytes{0x20, 0x3F}));

    Demux chosen;
    chosen.video_stream = 1;
    chosen.audio_stream = 0x1F;
    chosen.feed(stream);
    EXPECT_EQ(video_bytes(chosen), Bytes{0x11});
    EXPECT_EQ(audio_bytes(chosen), Bytes{0x3F});

    chosen.reset();  // keeps the selections
    EXPECT_EQ(chosen.video_stream, 1);
    EXPECT_EQ(chosen.audio_stream, 0x1F);
    EXPECT_TRUE(chosen.video_payload.empty() && chosen.audio_ring.empty());
}

TEST(Demux, WaitingAndGarbage) {
    Demux d;
    d.feed(Bytes{1, 2, 3, 4, 5, 0x00, 0x00});
    EXPECT_EQ(audio_bytes(d), Bytes{});
    EXPECT_EQ(Bytes(d.stream_bytes.data(), d.stream_bytes.data() + d.stream_bytes.size()), (Bytes{0, 0}));
    d.feed(Bytes{0x01, 0xC0, 0x00});  // the prefix completes across the seam; the packet waits
    EXPECT_EQ(d.stream_bytes.size(), 5u);
    d.feed(Bytes{0x02, 0x0F, 0x66});
    EXPECT_EQ(audio_bytes(d), Bytes{0x66});

    // A pack header waits for its last bytes, MPEG-2 stuffing included.
    Demux pack;
    const Bytes p = test::mpeg2_pack(7);
    pack.feed({p.data(), p.size() - 1});
    EXPECT_EQ(pack.stream_bytes.size(), p.size() - 1);
    pack.feed(Bytes{p.back()} + test::packet(0xC0, {0x0F}, {0x01}));
    EXPECT_EQ(audio_bytes(pack), Bytes{0x01});

    // A zero-length packet with no further prefix keeps what it has, within a bound.
    Demux open;
    open.feed(test::open_packet(0xE0, Bytes(Demux::kMaxPendingBytes + 10, 0x55)));
    EXPECT_EQ(open.stream_bytes.size(), 2u);
}

TEST(DemuxInCartridge, EndCodesAndTimeStampRegister) {
    Dvc dvc;
    const Bytes stream = test::packet(0xE0, test::stamp(2, 0x12345680), {}) + test::end_code() + test::end_code();
    dvc.input = stream;
    dvc.demux_and_decode();
    EXPECT_TRUE(dvc.input.empty());
    EXPECT_EQ(dvc.demux.end_codes, 0u);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvIntStatus), 0x0600);
    EXPECT_EQ(dvc.fma_word(Dvc::kFmaIntStatus), 0x0001);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvTimeStamp), (0x12345680 >> 7) & 0x7FFF);
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvStampFlags), 0x4000);
    EXPECT_FALSE(dvc.video_decoder) << "an empty payload creates no decoder";

    // The stamp is written again on every pass until the demultiplexer is reset.
    dvc.set_fmv(Dvc::kFmvTimeStamp, 0);
    dvc.demux_and_decode();
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvTimeStamp), (0x12345680 >> 7) & 0x7FFF);
    dvc.dvc_write_word((0xE040C0 - 0xE00000) >> 1, 0x0100);
    dvc.set_fmv(Dvc::kFmvTimeStamp, 0);
    dvc.demux_and_decode();
    EXPECT_EQ(dvc.fmv_word(Dvc::kFmvTimeStamp), 0);

    // The first video payload creates the decoder, later ones go to it.
    dvc.input = test::packet(0xE0, {0x0F}, {0x00, 0x00, 0x01, 0xB3});
    dvc.demux_and_decode();
    ASSERT_TRUE(dvc.video_decoder);
    dvc.input = test::packet(0xE0, {0x0F}, {0x16});
    dvc.demux_and_decode();
    EXPECT_TRUE(dvc.demux.video_payload.empty());
    EXPECT_GE(dvc.video_decoder->data.size(), 1u);
}

// Random and damaged streams through the whole pass (demultiplexer, audio, video decoder):
// nothing may crash or read out of bounds, and the buffers stay bounded.
TEST(DemuxRobustness, RandomAndDamagedStreams) {
    std::mt19937 rng(1234);
    const Bytes seeds[] = {header_forms().stream, test::read_fixture("audio_mpeg1.mpg"),
                           test::read_fixture("av_vcd.mpg"), test::read_fixture("av_vob.mpg")};
    Dvc dvc;
    for (int round = 0; round < 300; ++round) {
        dvc.reset();
        Bytes s;
        if (round % 3 == 0) {
            // Noise with many start-code prefixes of every kind.
            s.resize(2000 + rng() % 4000);
            for (auto& b : s) b = static_cast<uint8_t>(rng());
            for (int k = 0; k < 200; ++k) {
                const size_t at = rng() % (s.size() - 4);
                s[at] = 0;
                s[at + 1] = 0;
                s[at + 2] = 1;
                s[at + 3] = static_cast<uint8_t>(0xB9 + rng() % 0x47);
            }
        } else {
            s = seeds[rng() % 4];
            for (int k = 0; k < 20; ++k) s[rng() % s.size()] = static_cast<uint8_t>(rng());
            s.resize(rng() % s.size());  // truncated
        }
        size_t at = 0;
        while (at < s.size()) {
            const size_t n = std::min<size_t>(s.size() - at, 1 + rng() % 700);
            dvc.input.assign(s.begin() + static_cast<ptrdiff_t>(at), s.begin() + static_cast<ptrdiff_t>(at + n));
            at += n;
            dvc.demux_and_decode();
            ASSERT_LE(dvc.demux.stream_bytes.size(), 65'541u + 700u);
            ASSERT_LE(dvc.demux.audio_ring.size(), s.size());
            ASSERT_LE(dvc.audio_pairs.size(), Dvc::kMaxAudioPairs);
        }
        for (int f = 0; f < 4; ++f) dvc.dvc_frame_step();
    }
}

}  // namespace
}  // namespace vestrel
