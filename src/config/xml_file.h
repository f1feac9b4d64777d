#pragma once

#include <string>

class TiXmlDocument;

// Loads an XML file named by a wide path into document. The file is opened
// with _wfopen, because TinyXML's own file names are narrow ANSI strings and
// the program's folder may hold characters the ANSI code page lacks. False
// when the file cannot be read or parsed, or fails IsSafeToParse.
// Any thread; the document is the caller's.
bool LoadXmlFile(const std::wstring& path, TiXmlDocument& document);
// The two halves of LoadXmlFile: the file's bytes as they are, and the
// parse of such bytes (line ends normalised, IsSafeToParse, then TinyXML).
bool ReadXmlFileText(const std::wstring& path, std::string& text);
bool ParseXmlText(std::string text, TiXmlDocument& document);

// TinyXML parses and frees nested elements recursively, so a document of
// some ten thousand nested elements (FileList.xml comes over plain HTTP)
// overflows the stack and ends the process. This walks the text as TinyXML
// will and says whether it is safe to hand over: well-formed UTF-8 without
// zero bytes, elements nested no deeper than a limit far beyond what
// LumoConfig.xml and FileList.xml need, and only the markup those files use
// (elements, comments, CDATA, an XML declaration). Where TinyXML would read
// the text differently from this walk (unquoted attribute values, a numeric
// character reference without its digits, DOCTYPE and other markup), the
// text is refused. Any thread.
bool IsSafeToParse(const std::string& text);
