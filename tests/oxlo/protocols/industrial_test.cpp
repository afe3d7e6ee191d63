// Industrial, automation, metering, building and IoT dissectors on the byte
// layouts of their messages, each with a near miss that must not match.
// MQTT, Modbus and CoAP are also replayed from tests/captures/industrial.
#include "dissector_kit.h"
#include "oxlo_crc.h"
#include "oxlo_dissector_kit.h"
#include "oxlo_private.h"
#include "oxlo_risk_ids.h"
#include "oxlo_protocol_ids.h"

extern "C" int oxlo_flow_s7comm_counts(const oxlo_flow_state *flow, uint16_t *jobs, uint16_t *ack_data,
                                       uint8_t *read_var, uint8_t *write_var);

namespace {

struct Industrial : kit::engine {};
// A stand-in for the DCE/RPC dissector (connectionless version 4 headers)
// in its place before PROFINET IO, which is registered after it alone.
void stand_in_dcerpc(oxlo_module *m, oxlo_flow_state *f)
{
    const oxlo_reader p = oxlo_dissector_packet(m, f).payload;
    if (oxlo_rd_match_n(&p, 0, "\x04\x00", 2, 0))
        oxlo_dissector_classify(m, f, OXLO_PROTOCOL_DCERPC, OXLO_PROTOCOL_UNKNOWN);
    else
        OXLO_EXCLUDE(m, f);
}
const uint16_t dcerpc_ids[] = {OXLO_PROTOCOL_DCERPC};
const oxlo_dissector_def stand_in_dcerpc_def = {
    "DCERPC", stand_in_dcerpc, OXLO_SEL_IPV4_OR_IPV6 | OXLO_SEL_UDP | OXLO_SEL_PAYLOAD, dcerpc_ids, 1, 0, nullptr, nullptr,
};
struct IndustrialWithDcerpc : kit::engine {
    void SetUp() override
    {
        kit::engine::SetUp();
        ASSERT_EQ(oxlo_dissectors_init(m), 0);
        forget_builtin_dissectors();
        ASSERT_EQ(oxlo_dissector_register(m, &stand_in_dcerpc_def), 0);
        ASSERT_EQ(oxlo_dissector_register_builtin(m, "profinet_io"), 0);
        ASSERT_EQ(oxlo_dissectors_finish(m), 0);
    }
};
struct IndustrialMonitoring : kit::engine {
    std::vector<std::array<const char *, 3>> knobs() override { return {{"S7Comm", "monitoring", "enable"}}; }
};

using kit::raw;
std::string be16(unsigned v) { return std::string{char(v >> 8), char(v)}; }
std::string le16(unsigned v) { return std::string{char(v), char(v >> 8)}; }
std::string be32(uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string le32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string z(size_t n) { return std::string(n, '\0'); }

struct exchange {
    const char *what;
    uint16_t port;
    uint8_t l4;
    std::vector<std::pair<bool, std::string>> packets; // from_client, payload
    uint16_t expected;                                 // 0: must not be named
    uint16_t protocol;                                 // the protocol the near miss must not get
    uint16_t client_port = 40000;
    bool ipv6 = false;
    uint16_t master = 0;
};

std::string with_x25(std::string frame) // 7E A0 ... FCS 7E
{
    const uint16_t c = crc16_x25(frame.data() + 1, frame.size() - 1);
    return frame + le16(c) + "\x7e";
}
std::string with_ccitt(std::string frame)
{
    return frame + be16(crc16_ccitt_false(frame.data(), frame.size()));
}
std::string with_xmodem(std::string frame) { return frame + be16(crc16_xmodem(frame.data(), frame.size())); }
std::string trdp_pd()
{
    std::string h = be32(1) + be16(0x0101) + "Pd" + be32(1000) + be32(0) + be32(0) + be32(0) + z(4) + z(8);
    return h + le32(crc32_update(h.data(), h.size(), 0));
}
std::string trdp_md(uint32_t dataset)
{
    std::string h = be32(1) + be16(0x0101) + "Mr" + be32(2000) + be32(0) + be32(0) + be32(dataset) + z(4) + z(84);
    return h + le32(crc32_update(h.data(), h.size(), 0)) + std::string((dataset + 3) & ~3u, 'd');
}
std::string tpkt(const std::string &body) { return "\x03" + z(1) + be16(unsigned(body.size() + 4)) + body; }
std::string flip_byte(std::string s, size_t from_end)
{
    s[s.size() - from_end] ^= 1;
    return s;
}

std::vector<exchange> cases()
{
    const std::string mqtt_connect = raw("\x10\x0d\x00\x04MQTT\x04\x02\x00\x3c\x00\x01" "c", 15);
    const std::string modbus = be16(1) + z(2) + be16(6) + raw("\x01\x03\x00\x00\x00\x0a", 6);
    const std::string cr = tpkt(raw("\x11\xe0\x00\x00\x00\x01\x00\xc1\x02\x01\x00\xc2\x02\x01\x02\xc0\x01\x0a", 18));
    const std::string cc = tpkt(raw("\x11\xd0\x00\x01\x00\x01\x00\xc0\x01\x0a\xc1\x02\x01\x00\xc2\x02\x01\x02", 18));
    const std::string setup = tpkt(raw("\x02\xf0\x80\x32\x01\x00\x00\x00\x00\x00\x08\x00\x00\xf0\x00\x00\x01\x00\x01\x01\xe0", 21));
    const std::string s7plus = tpkt(raw("\x02\xf0\x80\x72\x01\x00\x1e", 7) + std::string(26, 'p') + raw("\x72\x01\x00\x00", 4));
    const std::string coap8 = raw("\x48\x01\x12\x34", 4) + "tokentok" + raw("\xb4test", 5);
    const std::string knx = raw("\x06\x10\x02\x01\x00\x0e\x08\x01\x7f\x00\x00\x01\x0e\x57", 14);
    const std::string someip = be32(0x12340001) + be32(12) + be32(0x00010002) + raw("\x01\x01\x00\x00", 4) + "data";
    const std::string cookie = be32(0xFFFF0000) + be32(8) + be32(0xDEADBEEF) + raw("\x01\x01\x01\x00", 4);
    const std::string dlms = with_x25(raw("\x7e\xa0\x07\x03\x21\x93", 6));
    const std::string c37 = with_ccitt(raw("\xaa\x41\x00\x14\x00\x01", 6) + std::string(12, '\x01'));
    const std::string hart = raw("\x01\x00\x00\x00\x00\x01\x00\x0d\x01\x02\x03\x04\x05", 13);
    const std::string hislip = raw("HS\x00\x00\x00\x00\x00\x00", 8) + z(4) + be32(4) + "ping";
    const std::string matter = raw("\x00\x00\x00\x00", 4) + le32(7) + std::string(12, 'm');
    std::string melsec = raw("\x57\x00\x00\x00\x00\x11\x11", 7) + z(12) + le16(27) + std::string(27, '\x01');
    std::string mms(70, '\0');
    memcpy(&mms[0], "\x03\x00\x00\x46\x02\xf0\x80\x0d\x3d", 9);
    mms[70 - 37] = '\x80';
    mms[70 - 36] = '\x02';
    const std::string rtps = raw("RTPS\x02\x03\x01\x0f", 8) + std::string(12, 'g');
    const std::string tuya = raw("\x00\x00\x55\xaa", 4) + be32(1) + be32(10) + be32(8) + be32(0x1234) + raw("\x00\x00\xaa\x55", 4);
    const std::string ads = z(2) + le32(38) + std::string(16, '\x05') + le16(2) + le16(4) + le32(6) + le32(0) +
                            le32(7) + std::string(6, 'a');
    std::string c1222 = raw("\x60\x30\xa2\x04\x06\x02\x7b\x01", 8) + std::string(42, 'c');
    const std::string cip = raw("\x02\x00\x02\x80\x08\x00", 6) + std::string(8, 's') + raw("\xb1\x00\x06\x00", 4) + std::string(6, 'd');
    const std::string cnp = be16(24) + raw("\x01\x01\x00\x01", 4) + std::string(18, 'l');
    const std::string egd = raw("\x0d\x01\x00\x01\x0a\x00\x00\x02", 8) + be32(5) + z(8) + z(4) + be32(3) + z(4) + std::string(8, 'e');
    const std::string sbus = with_xmodem(be32(16) + raw("\x01\x00\x00\x01\x06\x00\x05\x00", 8) + "zz");
    const std::string fins_udp = raw("\x80\x00\x02\x00\x01\x00\x00\x01\x00\x10\x05\x01", 12);
    std::string xiaomi = raw("\xc2\xfe\x00\x05", 4) + be32(0) + raw("\x00\x02\x00\x16", 4) + "abcd" + raw("\x08\x01\x12\x04MIUI\x3a\x0dpush.mi.test:5222", 23);
    xiaomi.replace(4, 4, be32(uint32_t(xiaomi.size() - 12)));
    std::vector<exchange> all = {
        {"MQTT CONNECT", 1883, OXLO_L4_TCP, {{true, mqtt_connect}}, OXLO_PROTOCOL_MQTT, 0},
        {"MQTT CONNECT on 18830", 18830, OXLO_L4_TCP, {{true, mqtt_connect}}, OXLO_PROTOCOL_MQTT, 0},
        {"MQTT PINGREQ", 1883, OXLO_L4_TCP, {{true, raw("\xc0\x00", 2)}}, OXLO_PROTOCOL_MQTT, 0},
        {"MQTT: remaining length one short", 1883, OXLO_L4_TCP, {{true, raw("\x10\x0c", 2) + mqtt_connect.substr(2)}}, 0, OXLO_PROTOCOL_MQTT},
        {"MQTT: a length continued past the payload", 1883, OXLO_L4_TCP, {{true, raw("\x30\x80", 2)}}, 0, OXLO_PROTOCOL_MQTT},
        {"MQTT: PINGREQ with flags", 1883, OXLO_L4_TCP, {{true, raw("\xc2\x00", 2)}}, 0, OXLO_PROTOCOL_MQTT},
        {"MQTT: PUBLISH QoS 3", 1883, OXLO_L4_TCP, {{true, raw("\x36\x05\x00\x01tab", 7)}}, 0, OXLO_PROTOCOL_MQTT},
        {"Modbus read holding registers", 502, OXLO_L4_TCP, {{true, modbus}}, OXLO_PROTOCOL_MODBUS, 0},
        {"Modbus function 0x5A is UMAS", 502, OXLO_L4_TCP, {{true, be16(1) + z(2) + be16(6) + raw("\x01\x5a\x00\x02\x00\x00", 6)}},
         OXLO_PROTOCOL_UMAS, 0, 40000, false, OXLO_PROTOCOL_MODBUS},
        {"Modbus: not on port 502", 5020, OXLO_L4_TCP, {{true, modbus}}, 0, OXLO_PROTOCOL_MODBUS},
        {"Modbus: length one off", 502, OXLO_L4_TCP, {{true, be16(1) + z(2) + be16(7) + modbus.substr(6)}}, 0, OXLO_PROTOCOL_MODBUS},
        {"IEC 104 STARTDT and a second APDU", 2404, OXLO_L4_TCP, {{true, raw("\x68\x04\x07\x00\x00\x00\x68\x04\x43\x00\x00\x00", 12)}},
         OXLO_PROTOCOL_IEC60870, 0},
        {"IEC 104: an APDU cut short", 2404, OXLO_L4_TCP, {{true, raw("\x68\x04\x07\x00\x00", 5)}}, 0, OXLO_PROTOCOL_IEC60870},
        {"DNP3 link frame", 20000, OXLO_L4_TCP, {{true, raw("\x05\x64\x05\xc0\x01\x00\x00\x04\xe9\x21", 10)}}, OXLO_PROTOCOL_DNP3, 0},
        {"DNP3: wrong start", 20000, OXLO_L4_TCP, {{true, raw("\x05\x65\x05\xc0\x01\x00\x00\x04\xe9\x21", 10)}}, 0, OXLO_PROTOCOL_DNP3},
        {"S7 after the COTP connection exchange", 102, OXLO_L4_TCP, {{true, cr}, {false, cc}, {true, setup}}, OXLO_PROTOCOL_S7COMM, 0},
        {"S7comm-plus after the exchange", 102, OXLO_L4_TCP, {{true, cr}, {false, cc}, {true, s7plus}}, OXLO_PROTOCOL_S7COMMPLUS, 0},
        {"S7: not on port 102", 1020, OXLO_L4_TCP, {{true, cr}, {false, cc}, {true, setup}}, 0, OXLO_PROTOCOL_S7COMM},
        {"S7: ROSCTR 4", 102, OXLO_L4_TCP, {{true, cr}, {false, cc}, {true, tpkt(raw("\x02\xf0\x80\x32\x04", 5) + z(16))}}, 0, OXLO_PROTOCOL_S7COMM},
        {"CoAP GET with an 8-byte token", 5683, OXLO_L4_UDP, {{true, coap8}}, OXLO_PROTOCOL_COAP, 0},
        {"CoAP on 61620", 61620, OXLO_L4_UDP, {{true, raw("\x40\x01\x00\x01", 4)}}, OXLO_PROTOCOL_COAP, 0},
        {"CoAP: token length 9", 5683, OXLO_L4_UDP, {{true, raw("\x49\x01\x12\x34", 4) + "tokentoke"}}, 0, OXLO_PROTOCOL_COAP},
        {"CoAP: code 6.00", 5683, OXLO_L4_UDP, {{true, raw("\x40\xc0\x00\x01", 4)}}, 0, OXLO_PROTOCOL_COAP},
        {"BACnet Who-Is", 47808, OXLO_L4_UDP, {{true, raw("\x81\x0b\x00\x0c\x01\x20\xff\xff\x00\xff\x10\x08", 12)}}, OXLO_PROTOCOL_BACNET, 0},
        {"BACnet: length one off", 47808, OXLO_L4_UDP, {{true, raw("\x81\x0b\x00\x0d\x01\x20\xff\xff\x00\xff\x10\x08", 12)}}, 0, OXLO_PROTOCOL_BACNET},
        {"KNXnet/IP search request", 3671, OXLO_L4_UDP, {{true, knx}}, OXLO_PROTOCOL_KNXNET_IP, 0},
        {"KNXnet/IP two frames in a TCP segment", 3671, OXLO_L4_TCP, {{true, knx + knx}}, OXLO_PROTOCOL_KNXNET_IP, 0},
        {"KNXnet/IP: unknown service 0x020F", 3671, OXLO_L4_UDP, {{true, raw("\x06\x10\x02\x0f", 4) + knx.substr(4)}}, 0, OXLO_PROTOCOL_KNXNET_IP},
        {"SOME/IP request", 30490, OXLO_L4_UDP, {{true, someip}}, OXLO_PROTOCOL_SOMEIP, 0},
        {"SOME/IP magic cookie", 30490, OXLO_L4_TCP, {{true, cookie}}, OXLO_PROTOCOL_SOMEIP, 0},
        {"SOME/IP: a cookie with another request id", 30490, OXLO_L4_TCP, {{true, cookie.substr(0, 8) + be32(1) + cookie.substr(12)}}, 0, OXLO_PROTOCOL_SOMEIP},
        {"IEC 62056 HDLC frame", 4059, OXLO_L4_TCP, {{true, dlms}}, OXLO_PROTOCOL_IEC62056, 0},
        {"IEC 62056: frame check flipped", 4059, OXLO_L4_TCP, {{true, flip_byte(dlms, 2)}}, 0, OXLO_PROTOCOL_IEC62056},
        {"C37.118 data frame", 4712, OXLO_L4_TCP, {{true, c37}}, OXLO_PROTOCOL_IEEE_C37118, 0},
        {"C37.118: CRC flipped", 4712, OXLO_L4_TCP, {{true, flip_byte(c37, 1)}}, 0, OXLO_PROTOCOL_IEEE_C37118},
        {"HART-IP session initiate", 5094, OXLO_L4_UDP, {{true, hart}}, OXLO_PROTOCOL_HART_IP, 0},
        {"HART-IP: version 3", 5094, OXLO_L4_UDP, {{true, "\x03" + hart.substr(1)}}, 0, OXLO_PROTOCOL_HART_IP},
        {"HiSLIP initialize", 4880, OXLO_L4_TCP, {{true, hislip}}, OXLO_PROTOCOL_HISLIP, 0},
        {"HiSLIP: length past the segment", 4880, OXLO_L4_TCP, {{true, hislip.substr(0, 12) + be32(5) + "ping"}}, 0, OXLO_PROTOCOL_HISLIP},
        {"Matter unsecured message", 5540, OXLO_L4_UDP, {{true, matter}}, OXLO_PROTOCOL_MATTER, 0, 40000, true},
        {"Matter: a session id with session type 0", 5540, OXLO_L4_UDP, {{true, raw("\x00\x05\x00\x00", 4) + matter.substr(4)}}, 0,
         OXLO_PROTOCOL_MATTER, 40000, true},
        {"MELSEC 3E frame", 5007, OXLO_L4_TCP, {{true, melsec}}, OXLO_PROTOCOL_MELSEC, 0},
        {"MELSEC: wrong fixed bytes", 5007, OXLO_L4_TCP, {{true, melsec.substr(0, 5) + "\x12" + melsec.substr(6)}}, 0, OXLO_PROTOCOL_MELSEC},
        {"MMS initiate from the client", 102, OXLO_L4_TCP, {{true, mms}}, OXLO_PROTOCOL_ISO9506_1_MMS, 0},
        {"MMS: the same from the server", 102, OXLO_L4_TCP, {{false, mms}}, 0, OXLO_PROTOCOL_ISO9506_1_MMS},
        {"RTPS", 7400, OXLO_L4_UDP, {{true, rtps}}, OXLO_PROTOCOL_RTPS, 0},
        {"RTPS: major version 3", 7400, OXLO_L4_UDP, {{true, raw("RTPS\x03", 5) + rtps.substr(5)}}, 0, OXLO_PROTOCOL_RTPS},
        {"OPC UA hello", 4840, OXLO_L4_TCP, {{true, "HELF" + le32(20) + std::string(12, '\0')}}, OXLO_PROTOCOL_OPC_UA, 0},
        {"OPC UA: unfinished chunk type", 4840, OXLO_L4_TCP, {{true, "HELC" + le32(20) + std::string(12, '\0')}}, 0, OXLO_PROTOCOL_OPC_UA},
        {"TRDP process data", 17224, OXLO_L4_UDP, {{true, trdp_pd()}}, OXLO_PROTOCOL_TRDP, 0},
        {"TRDP message data with padding", 17225, OXLO_L4_TCP, {{true, trdp_md(5)}}, OXLO_PROTOCOL_TRDP, 0},
        {"TRDP: header CRC flipped", 17224, OXLO_L4_UDP, {{true, flip_byte(trdp_pd(), 1)}}, 0, OXLO_PROTOCOL_TRDP},
        {"TriStation", 1502, OXLO_L4_UDP, {{true, raw("\x05\x00\x02\x00\x00\x00\xaa\xbb", 8)}}, OXLO_PROTOCOL_TRISTATION, 0},
        {"TriStation: direction 2", 1502, OXLO_L4_UDP, {{true, raw("\x05\x00\x02\x00\x02\x00\xaa\xbb", 8)}}, 0, OXLO_PROTOCOL_TRISTATION},
        {"Tuya LP", 6667, OXLO_L4_UDP, {{true, tuya}}, OXLO_PROTOCOL_TUYALP, 0},
        {"Tuya LP: wrong suffix", 6667, OXLO_L4_UDP, {{true, flip_byte(tuya, 1)}}, 0, OXLO_PROTOCOL_TUYALP},
        {"TP-Link SHP over UDP", 9999, OXLO_L4_UDP, {{true, raw("\xd0\xf2\x81\xf8", 4)}}, OXLO_PROTOCOL_TPLINK_SHP, 0},
        {"TP-Link SHP over TCP", 9999, OXLO_L4_TCP, {{true, be32(4) + raw("\xd0\xf2\x81\xf8", 4)}}, OXLO_PROTOCOL_TPLINK_SHP, 0},
        {"TP-Link SHP: plain JSON", 9999, OXLO_L4_UDP, {{true, "{\"system\":1}"}}, 0, OXLO_PROTOCOL_TPLINK_SHP},
        {"Xiaomi push", 5222, OXLO_L4_TCP, {{true, xiaomi}}, OXLO_PROTOCOL_XIAOMI, 0},
        {"Xiaomi: length one off", 5222, OXLO_L4_TCP, {{true, xiaomi + "x"}}, 0, OXLO_PROTOCOL_XIAOMI},
        {"PTPv2 sync", 319, OXLO_L4_UDP, {{true, raw("\x00\x02\x00\x2c", 4) + std::string(40, '\0')}}, OXLO_PROTOCOL_PTPV2, 0, 319},
        {"PTPv2: version 1", 319, OXLO_L4_UDP, {{true, raw("\x00\x01\x00\x2c", 4) + std::string(40, '\0')}}, 0, OXLO_PROTOCOL_PTPV2, 319},
        {"PTPv2: ports differ", 319, OXLO_L4_UDP, {{true, raw("\x00\x02\x00\x2c", 4) + std::string(40, '\0')}}, 0, OXLO_PROTOCOL_PTPV2, 320},
        {"ATG inventory command", 10001, OXLO_L4_TCP, {{true, raw("\x01I20100\r\n", 9)}}, OXLO_PROTOCOL_ATG, 0},
        {"ATG: no line end", 10001, OXLO_L4_TCP, {{true, raw("\x01I201000", 9)}}, 0, OXLO_PROTOCOL_ATG},
        {"Beckhoff ADS read state", 48898, OXLO_L4_TCP, {{true, ads}}, OXLO_PROTOCOL_BECKHOFFADS, 0},
        {"Beckhoff ADS: command 10", 48898, OXLO_L4_TCP, {{true, ads.substr(0, 22) + le16(10) + ads.substr(24)}}, 0, OXLO_PROTOCOL_BECKHOFFADS},
        {"ANSI C12.22", 1153, OXLO_L4_UDP, {{true, c1222}}, OXLO_PROTOCOL_ANSI_C1222, 0},
        {"ANSI C12.22: length byte off", 1153, OXLO_L4_UDP, {{true, "\x60\x31" + c1222.substr(2)}}, 0, OXLO_PROTOCOL_ANSI_C1222},
        {"CIP two items covering the datagram", 2222, OXLO_L4_UDP, {{true, cip}}, OXLO_PROTOCOL_CIP, 0, 2222},
        {"CIP: one byte more", 2222, OXLO_L4_UDP, {{true, cip + "x"}}, 0, OXLO_PROTOCOL_CIP, 2222},
        {"CNP-IP", 1628, OXLO_L4_UDP, {{true, cnp}}, OXLO_PROTOCOL_CNP_IP, 0},
        {"CNP-IP: version 2", 1628, OXLO_L4_UDP, {{true, cnp.substr(0, 3) + "\x02" + cnp.substr(4)}}, 0, OXLO_PROTOCOL_CNP_IP},
        {"DLEP discovery over UDP", 854, OXLO_L4_UDP, {{true, "DLEP" + std::string(24, '\x01')}}, OXLO_PROTOCOL_DLEP, 0},
        {"DLEP session message over TCP", 854, OXLO_L4_TCP, {{true, be16(1) + be16(8) + std::string(8, '\x02')}}, OXLO_PROTOCOL_DLEP, 0},
        {"DLEP: TCP message type 17", 854, OXLO_L4_TCP, {{true, be16(17) + be16(8) + std::string(8, '\x02')}}, 0, OXLO_PROTOCOL_DLEP},
        {"EasyWeather discovery", 46000, OXLO_L4_UDP, {{true, raw("\xff\xff\x12\x00\x04\x16", 6)}}, OXLO_PROTOCOL_EASYWEATHER, 0},
        {"EGD from its producer", 18246, OXLO_L4_UDP, {{true, egd}}, OXLO_PROTOCOL_ETHERNETGLOBALDATA, 0},
        {"EGD: producer id of another host", 18246, OXLO_L4_UDP, {{false, egd}}, 0, OXLO_PROTOCOL_ETHERNETGLOBALDATA},
        {"EtherNet/IP list identity", 44818, OXLO_L4_TCP, {{true, raw("\x63\x00", 2) + z(22)}}, OXLO_PROTOCOL_ETHERNETIP, 0},
        {"EtherNet/IP: length past the segment", 44818, OXLO_L4_TCP, {{true, raw("\x63\x00\x01\x00", 4) + z(20)}}, 0, OXLO_PROTOCOL_ETHERNETIP},
        {"Ether-S-Bus", 5050, OXLO_L4_UDP, {{true, sbus}}, OXLO_PROTOCOL_ETHER_S_BUS, 0},
        {"Ether-S-Bus: wrong CRC", 5050, OXLO_L4_UDP, {{true, flip_byte(sbus, 1)}}, 0, OXLO_PROTOCOL_ETHER_S_BUS},
        {"EtherSIO", 6060, OXLO_L4_UDP, {{true, raw("ESIO\x00\x01\x00", 7) + std::string(13, 'i')}}, OXLO_PROTOCOL_ETHERSIO, 0},
        {"EtherSIO: type 3", 6060, OXLO_L4_UDP, {{true, raw("ESIO\x00\x03\x00", 7) + std::string(13, 'i')}}, 0, OXLO_PROTOCOL_ETHERSIO},
        {"FINS over UDP", 9600, OXLO_L4_UDP, {{true, fins_udp}}, OXLO_PROTOCOL_FINS, 0},
        {"FINS over TCP", 9600, OXLO_L4_TCP, {{true, "FINS" + be32(12) + z(12)}}, OXLO_PROTOCOL_FINS, 0},
        {"FINS: gateway count 3", 9600, OXLO_L4_UDP, {{true, fins_udp.substr(0, 2) + "\x03" + fins_udp.substr(3)}}, 0, OXLO_PROTOCOL_FINS},
    };
    // The same messages as a TCP stream may carry them: cut at the length
    // field and at a middle byte, several at once with the last cut, and a
    // length that never completes. Modbus's request is the one of
    // tests/captures/industrial/modbus.pcap.
    const std::string mb = kit::capture_first("industrial/modbus.pcap", 502, true);
    const std::string startdt = raw("\x68\x04\x07\x00\x00\x00", 6);
    const std::string dnp3 = raw("\x05\x64\x05\xc0\x01\x00\x00\x04\xe9\x21", 10);
    const std::string hello = "HELF" + le32(20) + std::string(12, '\0');
    auto then = [](kit::segments a, const kit::segments &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<exchange> framed = {
        {"Modbus (recorded): MBAP header alone", 502, OXLO_L4_TCP, kit::cut(true, mb, {6}), OXLO_PROTOCOL_MODBUS, 0},
        {"Modbus (recorded): cut in the header and in the PDU", 502, OXLO_L4_TCP, kit::cut(true, mb, {3, 9}),
         OXLO_PROTOCOL_MODBUS, 0},
        {"Modbus: two requests at once, the second cut", 502, OXLO_L4_TCP, kit::cut(true, mb + modbus, {mb.size() + 4}),
         OXLO_PROTOCOL_MODBUS, 0},
        {"Modbus: a length that never completes", 502, OXLO_L4_TCP,
         kit::cut(true, mb.substr(0, 4) + be16(200) + mb.substr(6), {6}), 0, OXLO_PROTOCOL_MODBUS},
        {"IEC 104: start byte alone", 2404, OXLO_L4_TCP, kit::cut(true, startdt, {1}), OXLO_PROTOCOL_IEC60870, 0},
        {"IEC 104: two APDUs, the second cut", 2404, OXLO_L4_TCP, kit::cut(true, startdt + startdt, {9}),
         OXLO_PROTOCOL_IEC60870, 0},
        {"DNP3: start bytes alone", 20000, OXLO_L4_TCP, kit::cut(true, dnp3, {2}), OXLO_PROTOCOL_DNP3, 0},
        {"OPC UA: message type alone", 4840, OXLO_L4_TCP, kit::cut(true, hello, {4}), OXLO_PROTOCOL_OPC_UA, 0},
        {"S7: the data TPKT cut after its header and in the middle", 102, OXLO_L4_TCP,
         then({{true, cr}, {false, cc}}, kit::cut(true, setup, {4, 12})), OXLO_PROTOCOL_S7COMM, 0},
        {"MQTT CONNECT: fixed header byte alone, then cut", 1883, OXLO_L4_TCP, kit::cut(true, mqtt_connect, {1, 6}),
         OXLO_PROTOCOL_MQTT, 0},
        {"MQTT: CONNECT and PINGREQ at once", 1883, OXLO_L4_TCP, {{true, mqtt_connect + raw("\xc0\x00", 2)}},
         OXLO_PROTOCOL_MQTT, 0},
        {"MQTT: sixteen PINGREQs, then bytes the walk's cap leaves unread", 1883, OXLO_L4_TCP,
         {{true, [] { std::string s; for (int i = 0; i < 16; i++) s += std::string("\xc0\x00", 2); return s + "\xff\xff"; }()}},
         0, OXLO_PROTOCOL_MQTT},
        {"MQTT: a PUBLISH whose topic runs past it", 1883, OXLO_L4_TCP, {{true, raw("\x30\x05\x00\x09" "abc", 7)}}, 0,
         OXLO_PROTOCOL_MQTT},
        {"MQTT: digits read as a PUBLISH whose length the line meets (an FTP greeting)", 2221, OXLO_L4_TCP,
         kit::cut(false, "220 Welcome to the FTP service of this test host!!\r\n", {1, 2, 3, 4}), 0, OXLO_PROTOCOL_MQTT},
        {"SOME/IP over TCP: header cut", 30490, OXLO_L4_TCP, kit::cut(true, cookie, {8}), OXLO_PROTOCOL_SOMEIP, 0},
        {"EtherNet/IP: encapsulation header cut", 44818, OXLO_L4_TCP, kit::cut(true, raw("\x63\x00", 2) + z(22), {4}),
         OXLO_PROTOCOL_ETHERNETIP, 0},
        {"S7: a TPKT length that never completes", 102, OXLO_L4_TCP,
         then({{true, cr}, {false, cc}}, kit::cut(true, setup.substr(0, 2) + be16(300) + setup.substr(4), {4})), 0,
         OXLO_PROTOCOL_S7COMM},
    };
    all.insert(all.end(), framed.begin(), framed.end());
    return all;
}

TEST_F(Industrial, messages_and_near_misses)
{
    for (const exchange &e : cases()) {
        kit::conversation c(m, e.port, e.l4, e.client_port, e.ipv6);
        if (e.l4 == OXLO_L4_TCP)
            c.handshake();
        for (const auto &p : e.packets)
            p.first ? c.client(p.second) : c.server(p.second);
        if (e.expected) {
            EXPECT_EQ(c.app(), e.expected) << e.what;
            EXPECT_EQ(c.master(), e.master) << e.what;
            EXPECT_TRUE(c.by_inspection()) << e.what;
        } else {
            EXPECT_NE(c.app(), e.protocol) << e.what;
        }
    }
}

TEST_F(Industrial, can_header_version_other_than_one_is_flagged)
{
    for (const char version : {'\x01', '\x02'}) {
        kit::conversation c(m, 11898, OXLO_L4_UDP);
        c.client(raw("ISO11898", 8) + version + raw("\x00\x08\x01\x02", 4));
        EXPECT_EQ(c.app(), OXLO_PROTOCOL_CONTROLLER_AREA_NETWORK);
        EXPECT_EQ(c.risk(OXLO_MALFORMED_PACKET), version != 1);
        if (version != 1) {
            EXPECT_NE(c.messages().find("Invalid CAN Header"), std::string::npos) << c.messages();
        }
    }
}

TEST_F(Industrial, xiaomi_push_names_user_agent_and_host)
{
    std::string x = raw("\xc2\xfe\x00\x05", 4) + be32(0) + raw("\x00\x02\x00\x16", 4) + "abcd" +
                    raw("\x08\x01\x12\x04MIUI\x3a\x0dpush.mi.test:5222", 23);
    x.replace(4, 4, be32(uint32_t(x.size() - 12)));
    kit::conversation c(m, 5222);
    c.handshake();
    c.client(x);
    ASSERT_EQ(c.app(), OXLO_PROTOCOL_XIAOMI);
    EXPECT_STREQ(oxlo_flow_user_agent(c.f), "MIUI");
    EXPECT_STREQ(oxlo_flow_host_name(c.f), "push.mi.test");
    // A field whose length runs past the segment ends the walk, nothing read.
    std::string cut = x.substr(0, 16) + raw("\x12\x40MIUI", 6);
    cut.replace(4, 4, be32(uint32_t(cut.size() - 12)));
    kit::conversation d(m, 5222);
    d.handshake();
    d.client(cut);
    EXPECT_EQ(d.app(), OXLO_PROTOCOL_XIAOMI);
    EXPECT_STREQ(oxlo_flow_user_agent(d.f) ? oxlo_flow_user_agent(d.f) : "", "");
}

TEST_F(IndustrialWithDcerpc, profinet_io_on_a_dcerpc_flow)
{
    // The DCE/RPC dissector names the flow; PROFINET IO is one of its
    // sub-protocols and is tried right after on the same packet.
    auto rpc = [](bool little, uint32_t d1) {
        std::string h = raw("\x04\x00\x20\x00", 4) + std::string(1, little ? '\x10' : '\x00') + raw("\x00\x00\x00", 3);
        h += little ? le32(d1) + le16(0x6C97) + le16(0x11D1) : be32(d1) + be16(0x6C97) + be16(0x11D1);
        return h + std::string(60, '\x01');
    };
    // 34964 is PROFINET's own port, where it is tried first (before DCE/RPC
    // has named the flow); 34970 is not.
    for (const uint16_t port : {34964, 34970}) {
        for (const bool little : {true, false}) {
            for (const uint32_t d1 : {0xDEA00000u, 0xDEA00001u}) {
                kit::conversation c(m, port, OXLO_L4_UDP);
                c.client(rpc(little, d1));
                if (d1 == 0xDEA00000u) {
                    EXPECT_EQ(c.app(), OXLO_PROTOCOL_PROFINET_IO) << port << little;
                    EXPECT_EQ(c.master(), OXLO_PROTOCOL_DCERPC) << port << little;
                } else {
                    EXPECT_EQ(c.app(), OXLO_PROTOCOL_DCERPC) << port << little;
                }
            }
        }
    }
}

TEST_F(Industrial, profinet_io_needs_dcerpc_underneath)
{
    std::string h = raw("\x04\x00\x20\x00\x10\x00\x00\x00", 8) + le32(0xDEA00000u) + le16(0x6C97) + le16(0x11D1);
    kit::conversation c(m, 34964, OXLO_L4_UDP);
    c.client(h + std::string(60, '\x01'));
    EXPECT_NE(c.app(), OXLO_PROTOCOL_PROFINET_IO);
}

TEST_F(IndustrialMonitoring, s7comm_counts_jobs_by_function)
{
    const std::string cr = tpkt(raw("\x11\xe0\x00\x00\x00\x01\x00\xc1\x02\x01\x00\xc2\x02\x01\x02\xc0\x01\x0a", 18));
    const std::string setup = tpkt(raw("\x02\xf0\x80\x32\x01\x00\x00\x00\x00\x00\x08\x00\x00\xf0\x00\x00\x01\x00\x01\x01\xe0", 21));
    const std::string read = tpkt(raw("\x02\xf0\x80\x32\x01\x00\x00\x00\x01\x00\x0e\x00\x00\x04\x01\x12\x0a\x10\x02\x00\x01\x00\x01\x84\x00\x00\x00", 27));
    const std::string ack_data = tpkt(raw("\x02\xf0\x80\x32\x03\x00\x00\x00\x01\x00\x02\x00\x05\x00\x00\x04\x01\xff\x04\x00\x08\x2a", 22));
    kit::conversation c(m, 102);
    c.handshake();
    c.client(cr);
    c.server(cr);
    c.client(setup);
    ASSERT_EQ(c.app(), OXLO_PROTOCOL_S7COMM);
    c.client(read);
    c.server(ack_data);
    uint16_t jobs = 0, acks = 0;
    uint8_t reads = 0, writes = 0;
    ASSERT_EQ(oxlo_flow_s7comm_counts(c.f, &jobs, &acks, &reads, &writes), 0);
    EXPECT_EQ(jobs, 2);
    EXPECT_EQ(acks, 1);
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(writes, 0);
}

} // namespace
