#include "xml/selection_document.h"

#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "support/capture.h"
#include "support/test_support.h"
#include "xml/discovery_document.h"

namespace {

using namespace test_support;
namespace fs = std::filesystem;

std::unique_ptr<drive_table> empty_table() { return std::make_unique<drive_table>(); }

// One device element; `values` replaces the value of a named leaf, `drop`
// leaves a leaf out, `extra` is put right after the device's opening tag.
struct device_xml {
    std::string tag = "device";
    std::map<std::string, std::string> values;
    std::string drop;
    std::string extra;

    std::string leaf(const std::string& name, const std::string& value) const {
        if (name == drop) return "";
        auto found = values.find(name);
        return "<" + name + " value=\"" + (found == values.end() ? value : found->second) + "\"/>";
    }

    std::string str() const {
        return "<" + tag + ">" + extra + leaf("device_id", "0x00a4") + leaf("product_id", "ULTRIUM-HH6") +
               leaf("busnumber", "3") + leaf("devicenumber", "0") + leaf("funcnumber", "0") + "<fw_item>" +
               leaf("type", "") + leaf("firmware_id", "") + leaf("version", "2.500000") +
               leaf("active_version", "2.050000") + leaf("action", "upgrade") + leaf("duration", "0") +
               leaf("message", "") + leaf("shared", "no") + "</fw_item></" + tag + ">";
    }
};

std::string document(const std::string& devices_content, const std::string& prolog = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + prolog + "<kv_rom_discovery version=\"2.0.0.0\">" +
           "<type value=\"TAPE\"/><devices>" + devices_content + "</devices></kv_rom_discovery>";
}

struct read_outcome {
    int result;
    std::unique_ptr<drive_table> table;
};

read_outcome read_text(const std::string& xml) {
    scratch_dir dir;
    write_file(dir / "selection.xml", xml);
    read_outcome outcome{0, empty_table()};
    // The reader never talks: nothing on either stream.
    const std::string err = capture_stderr([&] {
        const std::string out = capture_stdout(
            [&] { outcome.result = read_selection_document((dir / "selection.xml").c_str(), *outcome.table); });
        EXPECT_EQ(out, "");
    });
    EXPECT_EQ(err, "");
    return outcome;
}

TEST(SelectionDocument, WrittenTableReadsBackTheSameRecords) {
    auto written = empty_table();
    drive_record& a = (*written)[0];
    a.in_use = 1;
    a.drive_id = 0xa4;
    copy_text(a.vendor_id, "KV");
    copy_text(a.product_id, "ULTRIUM-HH6 <&>\"'");
    copy_text(a.firmware_file, "hh6.bin");
    a.device.address = 7;
    a.fw_version = 2.05;
    a.target_version = 2.1234567;  // six decimals survive the text
    copy_text(a.action, "upgrade");
    copy_text(a.serial, "HU1234ABCD");
    drive_record& b = (*written)[2];
    b.in_use = 1;
    b.drive_id = 0xfedcba98;
    copy_text(b.product_id, "KTR320");
    b.device.address = 255;
    b.device.card = 2;
    b.device.lun = 1;
    copy_text(b.fw_item_type, "tape");
    copy_text(b.firmware_id, "FW 320");
    b.fw_version = 3;
    b.target_version = 1.5;
    copy_text(b.action, "skip");
    b.duration = 86400;

    scratch_dir dir;
    const fs::path path = dir / "doc.xml";
    capture_stdout([&] { ASSERT_EQ(write_discovery_document(path.c_str(), *written), 0); });
    auto read = empty_table();
    ASSERT_EQ(read_selection_document(path.c_str(), *read), 0);

    EXPECT_EQ(count_in_use(*read), 2);
    const drive_record* expected[] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        const drive_record& in = *expected[i];
        const drive_record& out = (*read)[i];
        EXPECT_EQ(out.in_use, 1);
        EXPECT_EQ(out.drive_id, in.drive_id);
        EXPECT_EQ(text_of(out.product_id), text_of(in.product_id));
        EXPECT_EQ(out.device.address, in.device.address);
        EXPECT_EQ(out.device.card, in.device.card);
        EXPECT_EQ(out.device.lun, in.device.lun);
        EXPECT_EQ(text_of(out.fw_item_type), text_of(in.fw_item_type));
        EXPECT_EQ(text_of(out.firmware_id), text_of(in.firmware_id));
        EXPECT_EQ(out.fw_version, in.fw_version);
        EXPECT_EQ(text_of(out.action), text_of(in.action));
        EXPECT_EQ(out.duration, in.duration);
        EXPECT_EQ(text_of(out.serial), text_of(in.serial));  // none for the second: no leaf
        EXPECT_EQ(text_of(out.vendor_id), "");
        EXPECT_EQ(text_of(out.firmware_file), "");
    }
    EXPECT_EQ((*read)[0].target_version, 2.123457);
    EXPECT_EQ((*read)[1].target_version, 1.5);
}

TEST(SelectionDocument, DevicesInDocumentOrderWhateverTheirNames) {
    device_xml first, second, third, fourth;
    first.values["device_id"] = "1";
    second.tag = "drive";
    second.values["device_id"] = "0X2";
    second.values["busnumber"] = "4";
    third.values["device_id"] = "  0x3";
    third.values["busnumber"] = "5";
    fourth.values["device_id"] = "0x4";
    fourth.values["busnumber"] = "6";
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<!-- edited by hand -->\n<inventory>\n"
        "  <type value=\"DISK\"/>\n"
        "  <devices>\n    <!-- first pair -->\n    " + first.str() + "\n    <?tool keep?>\n    " + second.str() +
        "\n  </devices>\n"
        "  <other><devices>" + device_xml{}.str() + "</devices></other>\n"  // not a child of the root
        "  <devices>" + third.str() + "text between" + fourth.str() + "</devices>\n"
        "</inventory>\n";
    const read_outcome outcome = read_text(xml);
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(count_in_use(*outcome.table), 4);
    for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ((*outcome.table)[i].drive_id, i + 1) << i;
}

TEST(SelectionDocument, ElementsFoundAtAnyDepthAndInAnyOrder) {
    // Reversed order, an extra element, and a wrapped leaf: the first
    // element of a name in document order wins.
    const std::string xml = document(
        "<device><note value=\"x\"/><fw_item><shared value=\"\"/><message value=\"m\"/><duration value=\"5\"/>"
        "<action value=\"rewrite\"/><active_version value=\"1\"/><version value=\"1\"/>"
        "<firmware_id value=\"f\"/><type value=\"t\"/><extra value=\"e\"/></fw_item>"
        "<group><funcnumber value=\"2\"/></group><devicenumber value=\"1\"/><busnumber value=\"9\"/>"
        "<product_id value=\"P\"/><device_id value=\"0xb\"/><device_id value=\"0xc\"/></device>");
    const read_outcome outcome = read_text(xml);
    ASSERT_EQ(outcome.result, 0);
    const drive_record& r = (*outcome.table)[0];
    EXPECT_EQ(r.drive_id, 0xbu);
    EXPECT_EQ(r.device.address, 9u);
    EXPECT_EQ(r.device.card, 1u);
    EXPECT_EQ(r.device.lun, 2u);
    EXPECT_EQ(text_of(r.action), "rewrite");
    EXPECT_EQ(r.duration, 5u);
    EXPECT_EQ(text_of(r.fw_item_type), "t");
}

TEST(SelectionDocument, ValuesConvertAsFarAsTheyAreNumbers) {
    device_xml d;
    d.values = {{"device_id", "a4zz"}, {"duration", ""}, {"version", "2.5e1 beta"}, {"active_version", "none"},
                {"action", "Upgrade "}};
    const read_outcome outcome = read_text(document(d.str()));
    ASSERT_EQ(outcome.result, 0);
    const drive_record& r = (*outcome.table)[0];
    EXPECT_EQ(r.in_use, 1);
    EXPECT_EQ(r.drive_id, 0xa4u);
    EXPECT_EQ(r.duration, 0u);
    EXPECT_EQ(r.target_version, 25.0);
    EXPECT_EQ(r.fw_version, 0.0);
    EXPECT_EQ(text_of(r.action), "Upgrade ");  // kept exactly: flashing will skip it
}

// The address of a device is where its image goes: anything but a plain
// number, or an address named twice, refuses the whole document with one
// line, before anything could be flashed.
TEST(SelectionDocument, AddressesArePlainNumbersNamedOnce) {
    struct row {
        const char* element;
        std::string value;
        std::string refusal;  // empty: accepted
    };
    const row rows[] = {
        {"busnumber", " 7 ", ""},
        {"busnumber", "0x01", "busnumber value \"0x01\" is not a plain decimal number"},
        {"devicenumber", "", "devicenumber value \"\" is not a plain decimal number"},
        {"devicenumber", "+1", "devicenumber value \"+1\" is not a plain decimal number"},
        {"funcnumber", "4294967296", "funcnumber value \"4294967296\" is not a plain decimal number"},
        // What the line quotes cannot break it or reach the terminal: control
        // characters and DEL are escaped, printable text stays as it is.
        {"busnumber", "1&#9;2&#10;~ \x7f", "busnumber value \"1\\x092\\x0a~ \\x7f\" is not a plain decimal number"},
        {"devicenumber", "\xc3\xa9", "devicenumber value \"\\xc3\\xa9\" is not a plain decimal number"},
        {"busnumber", "3", "two devices at card 0, address 3, lun 0"},  // beside a second device at 3
    };
    scratch_dir drive;
    fs::create_directories(drive / "vtxsystem/log");
    scoped_env systemdrive("systemdrive", drive.str().c_str());
    for (const row& r : rows) {
        device_xml d, skipped;
        d.values[r.element] = r.value;
        skipped.values["action"] = "skip";  // every entry counts, whatever its action
        const bool twice = r.refusal.rfind("two devices", 0) == 0;
        scratch_dir dir;
        write_file(dir / "s.xml", document(twice ? skipped.str() + d.str() : d.str()));
        fs::remove(drive / "vtxsystem/log/vtxsetup.log");
        auto table = empty_table();
        int result = -1;
        const std::string err = capture_stderr([&] { result = read_selection_document((dir / "s.xml").c_str(), *table); });
        const std::string line =
            r.refusal.empty() ? "" : "Selection document " + (dir / "s.xml").string() + " refused: " + r.refusal + "\n";
        EXPECT_EQ(result, r.refusal.empty() ? 0 : 1) << r.value;
        EXPECT_EQ(err, line) << r.value;
        EXPECT_EQ(fs::exists(drive / "vtxsystem/log/vtxsetup.log") ? read_file(drive / "vtxsystem/log/vtxsetup.log") : "",
                  line) << r.value;
        EXPECT_EQ(count_in_use(*table), r.refusal.empty() ? 1 : 0) << r.value;
        if (r.refusal.empty()) {
            EXPECT_EQ((*table)[0].device.address, 7u);
        }
    }
}

TEST(SelectionDocument, MissingValueAttributeReadsAsEmpty) {
    device_xml d;
    d.extra = "";
    std::string xml = document(d.str());
    xml.replace(xml.find("<product_id value=\"ULTRIUM-HH6\"/>"), 33, "<product_id/>");
    const read_outcome outcome = read_text(xml);
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(text_of((*outcome.table)[0].product_id), "");
    EXPECT_EQ((*outcome.table)[0].in_use, 1);
}

TEST(SelectionDocument, EveryOneOfTheFourteenElementsIsRequired) {
    for (const char* name : {"device_id", "product_id", "busnumber", "devicenumber", "funcnumber", "type",
                             "firmware_id", "version", "active_version", "action", "duration", "message",
                             "shared"}) {
        device_xml good, broken;
        broken.drop = name;
        const read_outcome outcome = read_text(document(good.str() + broken.str()));
        EXPECT_EQ(outcome.result, 1) << name;
        EXPECT_EQ((*outcome.table)[0].in_use, 1) << name;  // the device before it is complete
        EXPECT_EQ((*outcome.table)[1].in_use, 0) << name;
    }
    std::string no_item = device_xml{}.str();
    no_item.replace(no_item.find("<fw_item>"), 9, "<item>");
    no_item.replace(no_item.find("</fw_item>"), 10, "</item>");
    EXPECT_EQ(read_text(document(no_item)).result, 1);
}

TEST(SelectionDocument, DocumentsWithoutDevicesReadAsAnEmptySelection) {
    for (const std::string& xml : {document(""), std::string("<kv_rom_discovery/>"),
                                  std::string("<r><Devices>") + device_xml{}.str() + "</Devices></r>"}) {
        scratch_dir dir;
        write_file(dir / "s.xml", xml);
        auto table = empty_table();
        (*table)[5].in_use = 1;  // left from before: zeroed by the read
        EXPECT_EQ(read_selection_document((dir / "s.xml").c_str(), *table), 0) << xml;
        EXPECT_EQ(count_in_use(*table), 0) << xml;
    }
}

TEST(SelectionDocument, UnreadableDocumentsFailWithAZeroTable) {
    scratch_dir dir;
    write_file(dir / "broken.xml", document(device_xml{}.str()).substr(0, 200));
    write_file(dir / "empty.xml", "");
    // A pipe would block the parser and a URL would be fetched: only files are read.
    ASSERT_EQ(::mkfifo((dir / "pipe.xml").c_str(), 0600), 0);
    const fs::path url = "http://192.0.2.1/selection.xml";
    for (const fs::path& path :
         {dir / "missing.xml", dir / "broken.xml", dir / "empty.xml", dir.path(), dir / "pipe.xml", url}) {
        auto table = empty_table();
        (*table)[0].in_use = 1;
        (*table)[0].drive_id = 9;
        EXPECT_EQ(read_selection_document(path.c_str(), *table), 1) << path;
        EXPECT_EQ(count_in_use(*table), 0) << path;
        EXPECT_EQ((*table)[0].drive_id, 0u) << path;
    }
}

TEST(SelectionDocument, MoreDevicesThanSlotsAreRefused) {
    std::string devices, last;
    for (int i = 0; i < 24; ++i) {
        device_xml d;
        d.values["busnumber"] = std::to_string(i);
        (i < 23 ? devices : last) += d.str();
    }
    const read_outcome full = read_text(document(devices));
    EXPECT_EQ(full.result, 0);
    EXPECT_EQ(count_in_use(*full.table), 23);

    // The 24th may sit in a second `devices` element.
    const read_outcome over = read_text(document(devices + "</devices><devices>" + last));
    EXPECT_EQ(over.result, 1);
}

TEST(SelectionDocument, ValuesLongerThanTheirFieldsAreRefusedNotCut) {
    struct row {
        const char* name;
        std::size_t longest;
    };
    for (const row& r : {row{"product_id", 511}, row{"type", 519}, row{"firmware_id", 511}, row{"action", 127}}) {
        device_xml fits, too_long;
        fits.values[r.name] = std::string(r.longest, 'a');
        too_long.values[r.name] = std::string(r.longest + 1, 'a');
        const read_outcome ok = read_text(document(fits.str()));
        EXPECT_EQ(ok.result, 0) << r.name;
        EXPECT_EQ((*ok.table)[0].in_use, 1) << r.name;
        const read_outcome refused = read_text(document(too_long.str()));
        EXPECT_EQ(refused.result, 1) << r.name;
        EXPECT_EQ((*refused.table)[0].in_use, 0) << r.name;
    }
}

TEST(SelectionDocument, DoctypeAndInternalEntitiesOfOrdinaryDocuments) {
    device_xml d;
    d.values["product_id"] = "&drive; &amp; co";
    const read_outcome internal =
        read_text(document(d.str(), "<!DOCTYPE kv_rom_discovery [<!ENTITY drive \"ULTRIUM\">]>"));
    ASSERT_EQ(internal.result, 0);
    EXPECT_EQ(text_of((*internal.table)[0].product_id), "ULTRIUM & co");

    // An external subset is not needed to read the document; it is skipped
    // (a missing one included) rather than fetched.
    const read_outcome external =
        read_text(document(device_xml{}.str(), "<!DOCTYPE kv_rom_discovery SYSTEM \"no-such.dtd\">"));
    EXPECT_EQ(external.result, 0);
    EXPECT_EQ(count_in_use(*external.table), 1);
}

// Watches one file for any open or read while it is alive.
class file_watch {
public:
    explicit file_watch(const fs::path& path) : fd_(inotify_init1(IN_NONBLOCK)) {
        inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_ACCESS);
    }
    ~file_watch() { ::close(fd_); }
    bool touched() const {
        char events[4096];
        return ::read(fd_, events, sizeof events) > 0;
    }

private:
    int fd_;
};

TEST(SelectionDocument, ExternalEntitiesAndSubsetsAreNeverOpened) {
    scratch_dir dir;
    const fs::path secret = dir / "secret.txt";
    write_file(secret, "SECRET-CONTENT");
    write_file(dir / "evil.dtd", "<!ENTITY leak SYSTEM \"" + secret.string() + "\">");
    {
        file_watch control(secret);
        (void)read_file(secret);
        ASSERT_TRUE(control.touched());  // the watch does see a read
    }
    device_xml leaking;
    leaking.values["product_id"] = "&leak;";  // an attribute may not name an external entity at all
    const std::string uri = "file://" + secret.string();
    const std::string attacks[] = {
        document(device_xml{}.str() + "<x>&leak;</x>", "<!DOCTYPE r [<!ENTITY leak SYSTEM \"" + uri + "\">]>"),
        document(device_xml{}.str() + "<x>&leak;</x>", "<!DOCTYPE r [<!ENTITY leak SYSTEM \"" + secret.string() + "\">]>"),
        document(device_xml{}.str(), "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + uri + "\"> %p;]>"),
        document(device_xml{}.str() + "<x>&leak;</x>",
                 "<!DOCTYPE r [<!ENTITY leak SYSTEM \"http://192.0.2.1/kv.txt\">]>"),
        document(leaking.str(), "<!DOCTYPE r [<!ENTITY leak SYSTEM \"" + uri + "\">]>"),
        // The skipped subset names a file that would declare the entity.
        document(device_xml{}.str() + "<x>&leak;</x>", "<!DOCTYPE r SYSTEM \"" + (dir / "evil.dtd").string() + "\">"),
    };
    for (const std::string& xml : attacks) {
        file_watch watch(secret);
        file_watch subset(dir / "evil.dtd");
        const read_outcome outcome = read_text(xml);
        EXPECT_EQ(outcome.result, 1) << xml;
        EXPECT_FALSE(watch.touched()) << xml;
        EXPECT_FALSE(subset.touched()) << xml;
        for (const drive_record& r : *outcome.table) {
            EXPECT_EQ(text_of(r.product_id).find("SECRET"), std::string_view::npos);
        }
    }
}

TEST(SelectionDocument, EntityExpansionIsBounded) {
    std::string entities = "<!ENTITY l0 \"lol\">";
    for (int level = 1; level <= 9; ++level) {
        std::string body;
        for (int i = 0; i < 10; ++i) body += "&l" + std::to_string(level - 1) + ";";
        entities += "<!ENTITY l" + std::to_string(level) + " \"" + body + "\">";
    }
    const std::string prolog = "<!DOCTYPE r [" + entities + "]>";
    device_xml in_attribute;
    in_attribute.values["firmware_id"] = "&l9;";
    EXPECT_EQ(read_text(document(device_xml{}.str() + "<x>&l9;</x>", prolog)).result, 1);
    EXPECT_EQ(read_text(document(in_attribute.str(), prolog)).result, 1);

    // A few levels stay well within the bound.
    device_xml small;
    small.values["firmware_id"] = "&l2;";
    const read_outcome ok = read_text(document(small.str(), prolog));
    ASSERT_EQ(ok.result, 0);
    EXPECT_EQ(text_of((*ok.table)[0].firmware_id).size(), 300u);
}

std::string repeated(const std::string& part, std::size_t times) {
    std::string text;
    text.reserve(part.size() * times);
    for (std::size_t i = 0; i < times; ++i) text += part;
    return text;
}

long peak_memory_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runs every allocation slower and keeps freed memory aside.
constexpr double slowdown = 8;
#else
constexpr double slowdown = 1;
#endif

// Documents of at most 1 MiB that would make the parser take minutes or
// gigabytes: each must fail, and fail at once.
TEST(SelectionDocument, HostileDocumentsFailQuicklyInBoundedMemory) {
    const std::size_t mebibyte = 1024 * 1024;
    const std::string text(100 * 1000, 'x');
    const std::string big_entity = "<!DOCTYPE r [<!ENTITY big \"" + text + "\">]>";
    const std::string small_entity = "<!DOCTYPE r [<!ENTITY e \"" + text.substr(0, 1000) + "\">";
    struct row {
        const char* why;
        std::string xml;
    };
    const row rows[] = {
        {"deep nesting", document(device_xml{}.str() + repeated("<a>", 100000) + repeated("</a>", 100000))},
        {"many attributes", document("<device" + [] {
             std::string attributes;
             for (int i = 0; i < 50000; ++i) attributes += " a" + std::to_string(i) + "=\"\"";
             return attributes;
         }() + "/>")},
        {"many comments", document(device_xml{}.str()) + repeated("<!---->", 140000)},
        {"many elements", "<r>" + repeated("<x/>", 200000) + "<devices>" + device_xml{}.str() + "</devices></r>"},
        {"large entity repeated", document(device_xml{}.str() + "<x>" + repeated("&big;", 999) + "</x>", big_entity)},
        {"large entity in an attribute", document("<d v=\"" + repeated("&big;", 999) + "\"/>", big_entity)},
        {"entity repeated in an attribute default",
         document(device_xml{}.str(), small_entity + "<!ATTLIST kv_rom_discovery a CDATA \"" +
                                          repeated("&e;", 300000) + "\">]>")},
        {"parameter entity repeated",
         document(device_xml{}.str(), "<!DOCTYPE r [<!ENTITY % p \"<!-- " + text.substr(0, 1000) + " -->\">" +
                                          repeated("%p;", 300000) + "]>")},
    };
    for (const row& r : rows) {
        ASSERT_LE(r.xml.size(), mebibyte) << r.why;
        const long memory_before = peak_memory_kb();
        const auto start = std::chrono::steady_clock::now();
        const read_outcome outcome = read_text(r.xml);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(outcome.result, 1) << r.why;
        EXPECT_LT(took.count(), 1.0 * slowdown) << r.why;
        EXPECT_LT(peak_memory_kb() - memory_before, static_cast<long>(100 * 1024 * slowdown)) << r.why;
    }

    // Only the depth decides here, also after many empty elements: 50 levels
    // are read, 70 are not.
    for (int levels : {50, 70}) {
        device_xml nested;
        nested.values["busnumber"] = "4";
        nested.extra = repeated("<a>", levels) + repeated("</a>", levels);
        EXPECT_EQ(read_text(document(device_xml{}.str() + nested.str())).result, levels > 64 ? 1 : 0) << levels;
    }

    // Many nodes the reader passes over are no reason for it to slow down.
    const auto start = std::chrono::steady_clock::now();
    const read_outcome siblings = read_text("<r>" + repeated("<!---->", 50000) + "<devices>" + device_xml{}.str() +
                                            repeated("<!---->", 50000) + "</devices></r>");
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(siblings.result, 0);
    EXPECT_EQ(count_in_use(*siblings.table), 1);
    EXPECT_LT(took.count(), 1.0 * slowdown);

    const std::string ordinary = document(device_xml{}.str());
    // A document of 1 MiB is still read; one byte more is refused unread.
    const std::string padded = ordinary + std::string(mebibyte - ordinary.size(), '\n');
    const read_outcome whole = read_text(padded);
    EXPECT_EQ(whole.result, 0);
    EXPECT_EQ(count_in_use(*whole.table), 1);
    EXPECT_EQ(read_text(padded + "\n").result, 1);
}

}  // namespace
