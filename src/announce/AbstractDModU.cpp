#include "announce/AbstractDModU.h"

TAbstractDMod::TAbstractDMod(QObject* owner) : QObject(owner) {}

void TAbstractDMod::InitModule(const QString& AIniFile, const QString& /*Section*/) { FIniFileName = AIniFile; }
