#pragma once
#include "epsnet/kxEPSNET_frames.h"
#include "epsnet/kxEPSNET_ram.h"
#include "platform/CodePage.h"
#include <QByteArray>
#include <QString>
#include <array>
#include <memory>

class TEpsnetTagList;
class TEPSNETTag;

// The simulated PLC's memory: the four area images, laid out by the tags of a PUB file, which
// is also the file the web server hands out. Values are set by tag name or as raw bytes; reads
// past the end of an area give zeros, as the master's own image does.
class TSimMemory {
public:
    explicit TSimMemory(const TCodePage& codePage);
    ~TSimMemory();
    TSimMemory(const TSimMemory&) = delete;
    TSimMemory& operator=(const TSimMemory&) = delete;

    // Takes the tags and the served bytes of a PUB file; the memory keeps its values, as a PLC
    // does when only its program changes. Raises when the file cannot be read or has a line
    // that is not a valid tag line; the previous file then stays.
    void LoadPubFile(const QString& fileName);
    const QByteArray& PubBytes() const noexcept { return FPubBytes; }
    int TagCount() const;

    QByteArray Read(TEPSNETArea area, int address, int length) const;
    // The same into out, which holds length bytes: the answer path reads without allocating.
    void ReadInto(TEPSNETArea area, int address, int length, char* out) const;
    // Raises when the bytes would not fit in the area.
    void Write(TEPSNETArea area, int address, QByteArrayView bytes);
    // Sets a tag from text: 0/1/true/false for BOOL, decimal integers (range-checked), decimal
    // numbers for REAL and LREAL, milliseconds for TIME, "yyyy-MM-dd hh:mm:ss" or seconds since
    // 1970 for DT, and any text for a STRING (cut to its size, ended by a zero byte). Raises for
    // an unknown tag or a value that does not fit.
    void SetTag(const QString& name, const QString& value);
    // The tag's value as the master shows it.
    QString TagText(const QString& name) const;

private:
    TEPSNETTag& Tag(const QString& name) const;
    void WriteTag(const TEPSNETTag& tag, QByteArrayView bytes);

    const TCodePage& FCodePage;
    std::array<std::unique_ptr<TEPSNETRam>, EPSNETAreaCount> FImages;
    std::unique_ptr<TEpsnetTagList> FTags;
    QByteArray FPubBytes;
};
