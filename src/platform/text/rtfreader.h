#pragma once

#include <QByteArrayView>

class QTextDocument;

// Reads rich text as word processors write it into a text document, replacing the
// document's content. Understood: groups, control words and control symbols, \par,
// \line, \tab, bold, italic, underline, font sizes, the colour table with \cf, \'hh
// escapes (Windows-1252) and \uN with \ucN, and paragraph alignment; destinations that
// carry no visible text (\*, \fonttbl, \stylesheet, \info, \pict, headers, footers ...)
// are skipped. Text in the document's default font takes the formatting given.
//
// Bytes above 0x7F, raw or as \'hh, are Windows-1252 unless \ansicpg names another code
// page; then they are taken as Latin-1 (U+0080-U+00FF), not decoded. As in word
// processors, the \par that ends the last paragraph opens no empty paragraph after it.
//
// Malformed input never crashes, hangs or makes it grow without bound: nesting deeper
// than a fixed limit is flattened, numeric parameters are clamped, a truncated file ends
// where it ends, and the output never holds more characters than the input has bytes.
//
// Returns false, leaving the document untouched, when the data does not start with
// "{\rtf".
bool readRtf(QByteArrayView data, QTextDocument& document);

// True when the data starts with "{\rtf" (the test the text box makes before reading a
// file as rich text).
bool looksLikeRtf(QByteArrayView data);
