// Feeds arbitrary HTTP bodies to what the master does with a downloaded PUB file: decoding
// (byte-order mark or the PLC's code page) and loading the tag list. A bad line stops the load
// with our exception; the tags before it stay and every tag reads inside its image.
#include "epsnet/kxEPSNET_pubfile.h"
#include "epsnet/kxEPSNET_taglist.h"
#include "errorsystem/ErrorSystem.h"
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    StartLogSystem();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const TCodePage codePages[] = {TCodePage(QStringLiteral("UTF-8")), TCodePage(QStringLiteral("windows-1250"))};
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const TCodePage& codePage : codePages) {
        const QString text = DecodePubFileBytes(body, codePage);
        TEpsnetThreadSafeTagList tags;
        try {
            tags.LoadFromString(text);
        } catch (const Exception&) {
            // A line that is not a tag stops the load; what was read before it stays.
        }
        TEpsnetTagListLock list(tags);
        for (int i = 0; i < list->Count(); ++i) {
            try {
                (void)list->Items(i)->GetAsString();
            } catch (const Exception&) {
                // Some types refuse a text form of their bytes; that is a valid answer.
            }
        }
    }
    return 0;
}
