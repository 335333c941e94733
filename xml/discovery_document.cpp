#include "xml/discovery_document.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLChar.hpp>
#include <xercesc/util/XMLException.hpp>

#include "log/setup_log.h"
#include "inventory/text_field.h"
#include "platform/whole_file.h"
#include "xml/xerces_support.h"

using namespace xercesc;

namespace {

using path_buffer = text_field<512>;
// Room for any number the document holds: "%f" writes every digit before
// the point, and the largest double has 309 of them.
using value_text = text_field<512>;

constexpr int failed = 1;

int fail(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    return failed;
}

// Cuts the buffer at its last `separator`: the buffer keeps what stood before
// it, `name` receives what followed. False when there is no such separator.
bool cut_at_last(path_buffer& buffer, char separator, path_buffer& name) {
    char* last = std::strrchr(buffer.data(), separator);
    if (!last) return false;
    copy_text(name, last + 1);
    *last = '\0';
    return true;
}

// The name is what follows the last slash or backslash, on every system: a
// path that ends in either (and perhaps spaces) names a folder, not a file.
bool names_a_file(const path_buffer& path) {
    const std::string_view text = text_of(path);
    const std::size_t last = text.find_last_of("/\\");
    if (last == std::string_view::npos) return true;
    path_buffer name{};
    copy_text(name, text.substr(last + 1));
    return *trim_spaces(name.data()) != '\0';
}

// The folder of the document is created when the path names one (one level
// only); the file itself is later written to the path exactly as passed.
void prepare_directory(const path_buffer& path) {
    path_buffer buffer = path, name{}, directory{};
    if (cut_at_last(buffer, '/', name)) {
        directory = buffer;
        path_buffer letters = directory;
        if (*keep_alnum(letters.data()) == '\0') directory[0] = '\0';
    }
    if (cut_at_last(buffer, '\\', name)) directory = buffer;
    if (*trim_spaces(directory.data()) != '\0') make_directory(directory.data());
}

// A drive's texts come from its INQUIRY data and may hold characters that XML
// 1.0 cannot carry (control characters other than tab, line feed and carriage
// return); the serializer would stop in the middle of the document over one
// of them. Each is written as '?', so the document still lists the drive.
void replace_unwritable(XMLCh* text) {
    for (XMLCh* c = text; *c != 0; ++c) {
        if (XMLChar1_0::isXMLChar(c[0])) continue;
        if (c[1] != 0 && XMLChar1_0::isXMLChar(c[0], c[1])) {
            ++c;  // a surrogate pair: one character beyond the 16-bit range
            continue;
        }
        *c = chQuestion;
    }
}

void append_leaf(DOMDocument& document, DOMElement& parent, const char* name, const char* value) {
    DOMElement* leaf = document.createElement(xml_text(name).get());
    xml_text text(value);
    replace_unwritable(text.data());
    leaf->setAttribute(xml_text("value").get(), text.get());
    parent.appendChild(leaf);
}

DOMElement* append_container(DOMDocument& document, DOMElement& parent, const char* name) {
    DOMElement* container = document.createElement(xml_text(name).get());
    parent.appendChild(container);
    return container;
}

void append_device(DOMDocument& document, DOMElement& devices, const drive_record& record) {
    DOMElement* device = append_container(document, devices, "device");
    value_text value{};
    format_text(value, "%#08x", static_cast<unsigned>(record.drive_id));
    append_leaf(document, *device, "device_id", value.data());
    append_leaf(document, *device, "product_id", record.product_id.data());
    format_text(value, "%d", static_cast<int>(record.device.address));
    append_leaf(document, *device, "busnumber", value.data());
    format_text(value, "%d", static_cast<int>(record.device.card));
    append_leaf(document, *device, "devicenumber", value.data());
    format_text(value, "%d", static_cast<int>(record.device.lun));
    append_leaf(document, *device, "funcnumber", value.data());
    // Only a drive that has a serial number gets the leaf: the document of a
    // drive without one reads as it always did. It is written escaped (a
    // control byte as \xNN), the form the selection check compares, so that
    // the document names the drive whatever bytes its number holds.
    if (record.serial[0] != '\0') {
        append_leaf(document, *device, "serial", escaped_text(text_of(record.serial)).c_str());
    }

    DOMElement* item = append_container(document, *device, "fw_item");
    append_leaf(document, *item, "type", record.fw_item_type.data());
    append_leaf(document, *item, "firmware_id", record.firmware_id.data());
    format_text(value, "%f", record.target_version);
    append_leaf(document, *item, "version", value.data());
    format_text(value, "%f", record.fw_version);
    append_leaf(document, *item, "active_version", value.data());
    append_leaf(document, *item, "action", record.action.data());
    format_text(value, "%d", static_cast<int>(record.duration));
    append_leaf(document, *item, "duration", value.data());
    append_leaf(document, *item, "message", "");
    append_leaf(document, *item, "shared", "no");
}

// The root with its constant children and one device per record in use.
void fill_document(DOMDocument& document, const drive_table& table) {
    DOMElement* root = document.getDocumentElement();
    root->setAttribute(xml_text("version").get(), xml_text("2.0.0.0").get());
    append_leaf(document, *root, "type", "TAPE");
    append_leaf(document, *root, "alt_name", "KV TAPE Firmware for Drive x, Drive y, and Drive z for Windows");
    append_leaf(document, *root, "version", "2.0.3");
    append_leaf(document, *root, "takes_effect", "immediate");
    DOMElement* devices = append_container(document, *root, "devices");
    for (const drive_record& record : table) {
        if (record.in_use != 0) append_device(document, *devices, record);
    }
}

// Builds the tree; on failure tells why on standard error and returns null.
xerces_owned<DOMDocument> build_document(DOMImplementation& core, const drive_table& table) {
    xerces_owned<DOMDocument> document;
    try {
        document.reset(core.createDocument(nullptr, xml_text("kv_rom_discovery").get(), nullptr,
                                           XMLPlatformUtils::fgMemoryManager));
        if (document) fill_document(*document, table);
    } catch (const OutOfMemoryException&) {
        fail("OutOfMemoryException");
        return nullptr;
    } catch (const DOMException& e) {
        std::fprintf(stderr, "DOMException code is:  %d\n", static_cast<int>(e.code));
        std::fflush(stderr);
        return nullptr;
    } catch (...) {
        fail("An error occurred creating the document");
        return nullptr;
    }
    if (!document) fail("doc is NULL:");
    return document;
}

int report_output_failure(const std::string& message) {
    std::fprintf(stderr, "An error occurred during creation of output transcoder. Msg is:\n%s\n", message.c_str());
    std::fflush(stderr);
    return failed;
}

// The serializer in its default settings: the library's declaration and no
// added indentation or line breaks. The document is small (23 drives at
// most), so it is made whole in memory before any file is touched. Returns
// the number of failures; `bytes` holds the document only when there was none.
int serialise(DOMDocument& document, std::string& bytes) {
    try {
        DOMImplementation* ls = DOMImplementationRegistry::getDOMImplementation(xml_text("LS").get());
        if (!ls) return fail("Requested implementation is not supported");
        xerces_owned<DOMLSSerializer> serializer(ls->createLSSerializer());
        xerces_owned<DOMLSOutput> output(ls->createLSOutput());
        MemBufFormatTarget target;
        output->setByteStream(&target);
        if (!serializer->write(&document, output.get())) {
            return report_output_failure("the document could not be serialised whole");
        }
        bytes.assign(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
        return 0;
    } catch (const OutOfMemoryException&) {
        return fail("OutOfMemoryException");
    } catch (const XMLException& e) {
        return report_output_failure(narrow_text(e.getMessage()));
    } catch (const DOMException& e) {
        return report_output_failure(narrow_text(e.getMessage()));
    } catch (...) {
        return report_output_failure("");
    }
}

// The document replaces an older one only once it is on the disk whole: a
// full disk or a failed close leaves the old document (or none) in place.
int write_document_file(const char* path, const std::string& bytes) {
    const char* problem = "unable to write data to file";
    std::string why;
    switch (replace_whole_file(path, bytes, &why)) {
        case file_write_result::written: return 0;
        case file_write_result::not_opened: problem = "unable to open file"; break;
        case file_write_result::not_replaced: problem = "unable to replace file"; break;
        case file_write_result::not_written:
        case file_write_result::not_taken: break;
    }
    // Through a link, the line says where it led and why it failed there.
    const std::string through = why.rfind("it leads to ", 0) == 0 ? " (" + why + ")" : "";
    return report_output_failure(std::string(problem) + " '" + path + "'" + through);
}

}  // namespace

int write_discovery_document(const char* path, const drive_table& table) {
    path_buffer buffer{};
    if (!copy_text(buffer, path)) return fail("Error : Xml path is longer than 511 characters");
    if (!names_a_file(buffer)) return fail("Error : Xml filename not specified");
    prepare_directory(buffer);

    std::optional<xerces_session> session;
    try {
        session.emplace();
    } catch (const XMLException& e) {
        std::fprintf(stderr, "Error during Xerces-c Initialization.\n  Exception message:%s",
                     narrow_text(e.getMessage()).c_str());
        std::fflush(stderr);
        return failed;
    }

    DOMImplementation* core = DOMImplementationRegistry::getDOMImplementation(xml_text("Core").get());
    if (!core) return fail("Requested implementation is not supported");
    xerces_owned<DOMDocument> document = build_document(*core, table);
    if (!document) return failed;
    std::string bytes;
    if (serialise(*document, bytes) != 0) return failed;
    return write_document_file(path, bytes);
}
