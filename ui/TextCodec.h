#pragma once
// The core keeps texts as bytes, normally UTF-8; the windows show QStrings.
// Bytes that are not UTF-8 become the lone surrogates U+DC80..U+DCFF and turn
// back into the same bytes, so a host or description that passes through a
// window comes back exactly as it went in.

#include <QString>

#include <string>

QString ToQString(const std::string& Bytes);
std::string ToBytes(const QString& Text);
