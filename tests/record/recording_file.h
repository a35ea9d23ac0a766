#pragma once

// Builds a recording item by item, the way cubetrace writes one.

#include "lbox/channel.h"
#include "record/recording.h"

#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

class RecordingFile {
public:
    RecordingFile(const std::string& path, uint8_t edge) : path_(path), file_(std::fopen(path.c_str(), "wb"))
    {
        writer_.start(file_, edge);
    }
    ~RecordingFile() { close(); }

    RecordingFile& add(uint64_t ms, uint8_t code, std::vector<queueEntry> leds = {})
    {
        uint8_t record[channel::kRecordSize] = {};
        for (std::size_t k = 0; k < leds.size(); ++k)
            channel::packEntry(record, k, leds[k]);
        writer_.add(ms * 1000, code, record);
        return *this;
    }

    void close()
    {
        if (file_)
            std::fclose(file_);
        file_ = nullptr;
    }

private:
    std::string path_;
    std::FILE* file_;
    recording::Writer writer_;
};

}  // namespace testsupport
