#pragma once

#include <string>

class TiXmlDocument;

// Loads an XML file named by a wide path into document. The file is opened
// with _wfopen and handed to TinyXML as a stream, because TinyXML's own file
// names are narrow ANSI strings and the program's folder may hold characters
// the ANSI code page lacks. False when the file cannot be opened or parsed.
// Any thread; the document is the caller's.
bool LoadXmlFile(const std::wstring& path, TiXmlDocument& document);
