// Feeds arbitrary text to the PUB line parser and the tag-list load. A rejected line must raise
// one of the parser's exceptions, never crash; every tag that was made reads only its image, and
// reads zero where it lies outside; a load that succeeds leaves every tag findable by its name.
#include "epsnet/kxEPSNET_taglist.h"
#include "platform/TextFile.h"
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

bool IsParserError(const Exception& e)
{
    return dynamic_cast<const EEPSNETException*>(&e) || dynamic_cast<const EConvertError*>(&e)
        || dynamic_cast<const EMathError*>(&e);
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

bool LiesOutsideTheImage(const TEPSNETTag& tag)
{
    return tag.Address() >= TEPSNETRam::RamSize || std::int64_t{tag.Address()} + tag.Size() <= 0;
}

// Reads every value of the tag; getters may refuse a value only with the parser's exceptions.
void ReadEveryValue(const TEPSNETTag& tag)
{
    try {
        tag.GetAsBool();
        tag.GetAsFloat();
        tag.GetAsDateTime();
        const QString text = tag.GetAsString();
        if (tag.DataPtr && tag.DataType() == _epsdt_String)
            Check(text.size() <= tag.Size());
        tag.GetAsInteger();
    } catch (const Exception& e) {
        Check(IsParserError(e));
    }
}

void CheckParsedTag(TEPSNETTag& tag, TEPSNETRam& image)
{
    Check(tag.Area() < EPSNETAreaCount);
    Check(tag.Size() >= 1 && tag.Size() <= TEPSNETRam::RamSize);
    tag.DataPtr = &image;
    ReadEveryValue(tag);
    // A tag wholly beyond the image reads nothing of the (non-zero) image.
    if (LiesOutsideTheImage(tag)) {
        Check(tag.GetAsBool() == false);
        if (tag.DataType() == _epsdt_String)
            Check(tag.GetAsString().isEmpty());
        else if (tag.DataType() != _epsdt_DT)
            Check(tag.GetAsInteger() == 0);
    }
}

void ParseEachLine(const QString& text, TEPSNETRam& image)
{
    const QStringList lines = SplitTextLines(text);
    for (qsizetype i = 0; i < lines.size() && i < 64; ++i) {
        TEPSNETTag tag;
        try {
            Check(tag.ParseLine(lines[i]));
        } catch (const Exception& e) {
            Check(IsParserError(e));
            continue;
        }
        CheckParsedTag(tag, image);
    }
}

void LoadWhole(const QString& text, const std::uint8_t* data, std::size_t size)
{
    TEpsnetThreadSafeTagList list;
    bool loaded = true;
    try {
        list.LoadFromString(text);
    } catch (const Exception& e) {
        Check(IsParserError(e));
        loaded = false;
    }
    // Answers at an address taken from the input are cut at the image end or refused.
    if (size >= 3) {
        TEPSNETPacket answer;
        answer.Area = static_cast<TEPSNETArea>(data[0] % 5);
        answer.Address = static_cast<std::int32_t>(data[1] << 9 | data[2]) - 1000;
        answer.SetData(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
        try {
            list.UpdateFromPacket(answer);
        } catch (const EEPSNETException&) {
            Check(answer.Address < 0 || answer.Address > TEPSNETRam::RamSize);
        }
    }

    TEpsnetTagListLock tags(list);
    for (int i = 0; i < tags->Count(); ++i) {
        TEPSNETTag* tag = tags->Items(i);
        // Kept tags point into their images also after a line that failed.
        Check(tag->DataPtr == list.GetRamArea(tag->Area()));
        ReadEveryValue(*tag);
    }
    if (!loaded)
        return;
    for (int i = 0; i < tags->Count(); ++i) {
        const QString name = tags->Items(i)->Name();
        const TEPSNETTag* found = tags->GetTagByName(name);
        Check(found && found->Name() == name);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // An image without zero runs, so that a read outside it would show.
    static TEPSNETRam image;
    static const bool filled = [] {
        for (std::size_t i = 0; i < image.ram.size(); ++i)
            image.ram[i] = static_cast<std::uint8_t>(0x80 | (i * 7));
        return true;
    }();
    Check(filled);
    ParseEachLine(text, image);
    LoadWhole(text, data, size);
    return 0;
}
