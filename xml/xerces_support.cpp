#include "xml/xerces_support.h"

#include <xercesc/util/PlatformUtils.hpp>

using xercesc::XMLPlatformUtils;
using xercesc::XMLString;

xerces_session::xerces_session() { XMLPlatformUtils::Initialize(); }

xerces_session::~xerces_session() { XMLPlatformUtils::Terminate(); }

xml_text::xml_text(const char* text) : text_(XMLString::transcode(text)) {}

xml_text::~xml_text() { XMLString::release(&text_); }

std::string narrow_text(const XMLCh* text) {
    if (!text) return {};
    char* narrow = XMLString::transcode(text);
    std::string result = narrow ? narrow : "";
    XMLString::release(&narrow);
    return result;
}
