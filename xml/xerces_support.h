// Ownership of the XML library's objects and texts. The library hands out raw
// pointers that must be released in a given order (every object before the
// library itself is terminated); these wrappers make that order the order of
// scope exit.
#pragma once

#include <memory>
#include <string>

#include <xercesc/util/XMLString.hpp>

// The library from Initialize to Terminate. Construct it before any other
// library object of the call so that it is destroyed after all of them.
// Construction throws the library's XMLException when initialisation fails.
class xerces_session {
public:
    xerces_session();
    ~xerces_session();
    xerces_session(const xerces_session&) = delete;
    xerces_session& operator=(const xerces_session&) = delete;
};

// Library objects that are given back with release() (documents, serializers,
// outputs).
struct xerces_release {
    template <typename T>
    void operator()(T* object) const {
        if (object) object->release();
    }
};
template <typename T>
using xerces_owned = std::unique_ptr<T, xerces_release>;

// Narrow text of the program in the library's character type (local code page).
class xml_text {
public:
    explicit xml_text(const char* text);
    ~xml_text();
    xml_text(const xml_text&) = delete;
    xml_text& operator=(const xml_text&) = delete;
    const XMLCh* get() const { return text_; }
    XMLCh* data() { return text_; }  // for fixing characters in place

private:
    XMLCh* text_;
};

// The library's text as narrow text of the local code page; null gives "".
std::string narrow_text(const XMLCh* text);
