// Writes a small seed corpus for the fuzz targets: tiny CHD files for every codec and version
// made by the test writer, and a few CUE sheets.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../chd_writer.hpp"

namespace {

void save(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_seeds CHD_DIR CUE_DIR\n");
        return 2;
    }
    const std::string chd_dir = argv[1], cue_dir = argv[2];
    using vestrel::test::ChdWriterOptions;

    // Three one-frame CD hunks: a Form 1 sector, a repeat of it, and quiet audio.
    std::vector<uint8_t> frames(3 * 2448, 0);
    std::vector<uint8_t> payload(2048);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>("CD-i seed "[i % 10]);
    const auto s = vestrel::test::make_form1_sector(0, payload);
    std::copy(s.begin(), s.end(), frames.begin());
    std::copy(s.begin(), s.end(), frames.begin() + 2448);
    for (size_t i = 0; i < 2352; ++i) frames[2 * 2448 + i] = static_cast<uint8_t>((i * 3) & 0x0F);
    for (const char* codec : {"cdzl", "cdlz", "cdzs", "cdfl"}) {
        ChdWriterOptions opt;
        opt.codecs = {codec};
        opt.hunk_bytes = 2448;
        save(chd_dir + "/" + codec + ".chd", vestrel::test::write_chd(frames, opt));
    }

    // Generic codecs on 256-byte hunks.
    std::vector<uint8_t> bytes(1024);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i < 512 ? i / 8 : (i * i) >> 5);
    for (const char* codec : {"zlib", "lzma", "zstd", "huff", "flac"}) {
        ChdWriterOptions opt;
        opt.codecs = {codec};
        opt.hunk_bytes = 256;
        opt.unit_bytes = 4;
        save(chd_dir + "/" + codec + ".chd", vestrel::test::write_chd(bytes, opt));
    }
    // Versions 3 and 4: one-frame hunks (stored, compressed, self, mini) with each kind of track
    // metadata.
    std::vector<uint8_t> legacy = frames;
    legacy.resize(legacy.size() + 2448, 0);
    struct Legacy { const char* name; uint32_t version; const char* codec; const char* track_tag; };
    for (const Legacy& l : {Legacy{"v3_zlib", 3, "zlib", "CHCD"}, Legacy{"v3_zlib_plus", 3, "zlib+", "CHT2"},
                            Legacy{"v4_zlib", 4, "zlib", "CHT2"}, Legacy{"v4_zlib_chtr", 4, "zlib", "CHTR"},
                            Legacy{"v4_none", 4, nullptr, "CHCD"}}) {
        ChdWriterOptions opt;
        opt.version = l.version;
        if (l.codec) opt.codecs = {l.codec};
        opt.hunk_bytes = 2448;
        opt.cd_metadata = true;
        opt.track_tag = l.track_tag;
        save(chd_dir + "/" + l.name + ".chd", vestrel::test::write_chd(legacy, opt));
    }

    ChdWriterOptions plain;
    plain.hunk_bytes = 256;
    plain.unit_bytes = 4;
    save(chd_dir + "/none.chd", vestrel::test::write_chd(bytes, plain));

    const char* sheets[] = {
        "FILE \"track.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n",
        "FILE other.bin BINARY\r\n\tFILE \"/abs/x.iso\" BINARY\r\n",
        "REM \xC3\xA9t\xC3\xA9\nfile \"no.bin\"\n",
    };
    int n = 0;
    for (const char* sheet : sheets) {
        const std::string text = sheet;
        save(cue_dir + "/sheet" + std::to_string(n++) + ".cue", std::vector<uint8_t>(text.begin(), text.end()));
    }
    return 0;
}
