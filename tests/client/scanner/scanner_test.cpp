#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/scanner/scan_test_util.h"
#include "core/log/logging_test_util.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"
#include "zelkit/scanner.h"
#include "zelkit/system.h"

namespace {

using namespace scantest;
using zelkit::NetworkScanner;
using zeltest::Datagram;
using zeltest::UdpPeer;

constexpr int kDeliver = NetworkScanner::ScanDeliverReplies;
constexpr int kKeepBinary = NetworkScanner::ScanKeepBinary;
constexpr int kKeepXml = NetworkScanner::ScanKeepXml;
constexpr int kMulticast = NetworkScanner::ScanMulticast;

std::vector<unsigned long> deviceList() {
  std::vector<unsigned long> list;
  for (const unsigned long* entry = NetworkScanner::getDeviceList(); *entry != 0; ++entry) list.push_back(*entry);
  return list;
}

std::string dotted(unsigned long address) {
  in_addr in{};
  in.s_addr = static_cast<uint32_t>(address);
  return inet_ntoa(in);
}

std::string deviceInfo(int index, int size = 4000) {
  std::string text(static_cast<size_t>(size), '\0');
  const int result = NetworkScanner::getDeviceInfo(index, text.data(), size);
  return result > 0 ? text.c_str() : "result " + std::to_string(result);
}

using ScannerTest = PrivateNetworkTest;

TEST_F(ScannerTest, TheRequestIsBroadcastOnceAndLaterTriggersJoinTheScan) {
  UdpPeer broadcast(kDiscoveryPort);
  UdpPeer multicast(kMulticastPort, kMulticastGroup);
  Recorder first;
  Recorder second;
  NetworkScanner::triggerScan(0, 0x11, 0x22, Recorder::callback, &first);
  const auto request = broadcast.receive(3s);
  ASSERT_TRUE(request);
  ASSERT_EQ(request->bytes.size(), 12u);
  EXPECT_EQ(Bytes(request->bytes.begin(), request->bytes.begin() + 4), Bytes(kMagic, kMagic + 4));
  EXPECT_EQ(request->bytes[8], 0x11);
  EXPECT_EQ(request->bytes[9], 0x22);
  EXPECT_EQ(replyPortOf(*request), 1758);
  EXPECT_EQ(replyPortOf(*request), ntohs(request->from.sin_port));

  // Joins the running scan: no second request, and no switch to multicast.
  NetworkScanner::triggerScan(kMulticast, 0x33, 0x44, Recorder::callback, &second);
  EXPECT_FALSE(broadcast.receive(1500ms));
  EXPECT_FALSE(multicast.receive(10ms));
  ASSERT_TRUE(waitForEnd(first));
  ASSERT_TRUE(waitForEnd(second));
  for (const Recorder* subscriber : {&first, &second}) {
    ASSERT_EQ(subscriber->count(), 1u);
    const auto end = subscriber->deliveries()[0];
    EXPECT_EQ(end.tag, 0u);
    EXPECT_EQ(end.mode, 0);
    EXPECT_EQ(end.errorCode, 0);
  }

  // The next scan asks the multicast group, with a new id.
  NetworkScanner::triggerScan(kMulticast, 0, 0, Recorder::callback, &first);
  const auto grouped = multicast.receive(3s);
  ASSERT_TRUE(grouped);
  EXPECT_NE(Bytes(grouped->bytes.begin() + 4, grouped->bytes.begin() + 8),
            Bytes(request->bytes.begin() + 4, request->bytes.begin() + 8));
  EXPECT_FALSE(broadcast.receive(10ms));
  EXPECT_TRUE(waitForEnd(first, 2));
}

TEST_F(ScannerTest, RepliesMakeOneSortedTableOfDevices) {
  const auto logs = loggingtest::temporaryDirectory("scan");
  zelkit::System::setLoggingDirectory(logs.c_str());
  UdpPeer devices(kDiscoveryPort);
  Recorder subscriber;
  NetworkScanner::triggerScan(kDeliver | kKeepBinary | kKeepXml, 0, 0, Recorder::callback, &subscriber);
  const auto request = devices.receive(3s);
  ASSERT_TRUE(request);

  const Mac macA{0x00, 0x07, 0x5f, 0, 0, 0xA1};
  const Mac macB{0x00, 0x07, 0x5f, 0, 0, 0xB2};
  const Mac macC{0x00, 0x07, 0x5f, 0, 0, 0xC3};
  // 9.0.0.8 sorts before 10.0.0.7 in host order, after it as a raw word.
  const Bytes a = binaryReply(*request, macA, "10.0.0.7");
  const Bytes c = binaryReply(*request, macC, "9.0.0.8");
  const std::string xml = xmlText("10.0.0.5", "00-07-5f-00-00-d4", std::nullopt, 500);
  Bytes shortReply = binaryReply(*request, macA, "10.0.0.9");
  shortReply.resize(20);
  Bytes otherScan = binaryReply(*request, macA, "10.0.0.10");
  otherScan[4] ^= 0xFF;
  const std::vector<Bytes> sent = {
      a,
      c,
      binaryReply(*request, macB, "10.0.0.7"),  // a second device on that address
      c,                                         // the same reply again
      bytesOf(xml),                              // no HTTPPort element
      shortReply,                                // the magic, but cut short
      otherScan,
  };
  for (const Bytes& reply : sent) answer(devices, *request, reply);
  ASSERT_TRUE(waitForEnd(subscriber));

  // Every datagram but the duplicate reached the subscriber, the end last.
  const auto deliveries = subscriber.deliveries();
  ASSERT_EQ(deliveries.size(), 7u);
  EXPECT_EQ(deliveries[0].payload, a);
  EXPECT_EQ(deliveries[4].payload, shortReply);
  EXPECT_TRUE(deliveries[6].payload.empty());

  EXPECT_EQ(deviceList(), (std::vector<unsigned long>{addressOf("9.0.0.8"), addressOf("10.0.0.5"),
                                                      addressOf("10.0.0.7"), addressOf("10.0.0.7")}));
  // Entry i of the list and record i of the table are the same device.
  const std::vector<unsigned long> list = deviceList();
  for (size_t i = 0; i < list.size(); ++i)
    EXPECT_NE(deviceInfo(static_cast<int>(i)).find("<unitIPAddress>" + dotted(list[i]) + "<"), std::string::npos)
        << "record " << i;
  EXPECT_EQ(deviceInfo(0),
            "<?xml version=\"1.0\"?><root xmlns=\"OEMExtXX:device-1-0\"><device><deviceType>OEMExtXX:device:deviceIDYY"
            "</deviceType><physAddress>00-07-5f-00-00-c3</physAddress><unitIPAddress>9.0.0.8</unitIPAddress>"
            "<unitSubnetMask>255.255.255.0</unitSubnetMask><unitGatewayIp>10.0.0.1</unitGatewayIp></device></root>");
  EXPECT_EQ(deviceInfo(1), xml);
  EXPECT_EQ(deviceInfo(0, 20), "result -1");  // the made text does not fit
  EXPECT_EQ(deviceInfo(4), "result -1");      // index equal to the count
  EXPECT_EQ(deviceInfo(-1), "result -1");

  zelkit::types::AutoDetectResponseStruct details{};
  struct Case {
    const char* address;
    int index;
    int result;
    const Mac* mac;
  };
  const Case cases[] = {
      {"10.0.0.7", 0, 0, &macA}, {"10.0.0.7", 1, 0, &macB}, {"10.0.0.7", 2, -1, nullptr},
      {"9.0.0.8", 0, 0, &macC},  {"10.0.0.5", 0, -1, nullptr},  // known by its XML only
      {"10.0.0.9", 0, -1, nullptr}, {"10.0.0.10", 0, -1, nullptr},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(std::string(row.address) + " #" + std::to_string(row.index));
    EXPECT_EQ(NetworkScanner::getDeviceDetails(addressOf(row.address), row.index, &details), row.result);
    if (row.mac != nullptr) {
      EXPECT_EQ(0, std::memcmp(details.mac, row.mac->data(), 6));
    }
  }
  NetworkScanner::getDeviceDetails(addressOf("9.0.0.8"), &details);
  EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(&details), reinterpret_cast<uint8_t*>(&details) + 32), c);
  try {
    NetworkScanner::getDeviceDetails(addressOf("10.0.0.9"), &details);
    ADD_FAILURE() << "no exception";
  } catch (zelkit::Exception* error) {
    EXPECT_EQ(error->code, zelkit::AddressNotFound);
  }

  char small[10];
  EXPECT_EQ(NetworkScanner::getXmlDeviceDetails(addressOf("10.0.0.5"), 0, small, sizeof small), 10);
  EXPECT_EQ(std::string(small), xml.substr(0, 9));
  std::string whole(1000, '#');
  EXPECT_EQ(NetworkScanner::getXmlDeviceDetails(addressOf("10.0.0.5"), 0, whole.data(), 1000),
            static_cast<int>(xml.size()) + 1);
  EXPECT_EQ(whole.c_str(), xml);
  char untouched = '#';
  EXPECT_EQ(NetworkScanner::getXmlDeviceDetails(addressOf("10.0.0.5"), 0, &untouched, 0), 0);
  EXPECT_EQ(NetworkScanner::getDeviceInfo(1, &untouched, 0), 0);
  EXPECT_EQ(untouched, '#');
  EXPECT_EQ(NetworkScanner::getXmlDeviceDetails(addressOf("10.0.0.7"), 0, small, sizeof small), 0);

  // The duplicate is logged once; the XML device had no binary reply first.
  const std::string systemLog = loggingtest::readFile(logs / "127.1.1.1.log");
  const size_t duplicate = systemLog.find("scan Duplicate detected ");
  EXPECT_NE(systemLog.find("scan Duplicate detected 08000009 00-07-5f-00-00-c3"), std::string::npos);
  EXPECT_EQ(systemLog.find("scan Duplicate detected ", duplicate + 1), std::string::npos);
  EXPECT_NE(systemLog.find("scan First packet not received for 0500000a 00-07-5f-00-00-d4"), std::string::npos);

  NetworkScanner::releaseDetailBuffers();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(deviceInfo(i), "result 0");
  EXPECT_EQ(NetworkScanner::getDeviceDetails(addressOf("9.0.0.8"), 0, &details), -1);
  EXPECT_EQ(NetworkScanner::getXmlDeviceDetails(addressOf("10.0.0.5"), 0, small, sizeof small), 0);
}

TEST_F(ScannerTest, RepliesAreKeptOnlyWhenASubscriberAsks) {
  UdpPeer devices(kDiscoveryPort);
  Recorder subscriber;
  NetworkScanner::triggerScan(0, 0, 0, Recorder::callback, &subscriber);
  const auto request = devices.receive(3s);
  ASSERT_TRUE(request);
  answer(devices, *request, binaryReply(*request, Mac{1, 2, 3, 4, 5, 6}, "10.0.0.7"));
  answer(devices, *request, bytesOf(xmlText("10.0.0.5", "01-02-03-04-05-07", 8080)));
  ASSERT_TRUE(waitForEnd(subscriber));
  EXPECT_EQ(subscriber.count(), 1u);  // the end only
  // The binary reply makes a record all the same; the XML needs the flag.
  EXPECT_EQ(deviceList(), std::vector<unsigned long>{addressOf("10.0.0.7")});
  EXPECT_EQ(deviceInfo(0), "result 0");
}

TEST_F(ScannerTest, XmlRepliesAreKeyedByTheirOwnPort) {
  UdpPeer devices(kDiscoveryPort);
  Recorder subscriber;
  NetworkScanner::triggerScan(kKeepXml | kKeepBinary, 0, 0, Recorder::callback, &subscriber);
  const auto request = devices.receive(3s);
  ASSERT_TRUE(request);
  answer(devices, *request, binaryReply(*request, Mac{1, 2, 3, 4, 5, 6}, "10.0.0.5"));  // HTTP port 80
  const std::string on8080 = xmlText("10.0.0.5", "01-02-03-04-05-06", 8080);
  const std::vector<std::string> texts = {
      xmlText("10.0.0.5", "01-02-03-04-05-06"),            // port 80: joins the binary reply's record
      on8080,                                              // a record of its own
      on8080,                                              // the same text again
      xmlText("10.0.0.5", "01-02-03-04-05-06", 8080, 300),  // another text of that device
      xmlText("0.0.0.0", "01-02-03-04-05-08"),             // no address
      xmlText("no address", "01-02-03-04-05-08"),
      xmlText("10.0.0.6", "01-02-03-04-05"),               // five numbers
      "<unitIPAddress>10.0.0.6</unitIPAddress><physAddress>01-02-03-04-05-06",  // not ended by '<'
  };
  for (const std::string& text : texts) answer(devices, *request, bytesOf(text));
  ASSERT_TRUE(waitForEnd(subscriber));
  EXPECT_EQ(deviceList(), (std::vector<unsigned long>{addressOf("10.0.0.5"), addressOf("10.0.0.5")}));
  EXPECT_EQ(deviceInfo(0), texts[0]);  // the XML text before the one made from the binary reply
  EXPECT_EQ(deviceInfo(1), texts[3]);  // the latest text of the device on 8080
  zelkit::types::AutoDetectResponseStruct details{};
  EXPECT_EQ(NetworkScanner::getDeviceDetails(addressOf("10.0.0.5"), 0, &details), 0);
  EXPECT_EQ(NetworkScanner::getDeviceDetails(addressOf("10.0.0.5"), 1, &details), -1);
}

TEST_F(ScannerTest, OversizedAndEmptyDatagramsAreDropped) {
  UdpPeer devices(kDiscoveryPort);
  Recorder subscriber;
  NetworkScanner::triggerScan(kDeliver | kKeepBinary, 0, 0, Recorder::callback, &subscriber);
  const auto request = devices.receive(3s);
  ASSERT_TRUE(request);
  // More of them than there are receives posted.
  for (int i = 0; i < 20; ++i) answer(devices, *request, Bytes(4000, '<'));
  answer(devices, *request, Bytes());  // empty: it would read as the end of the scan
  const Bytes reply = binaryReply(*request, Mac{1, 2, 3, 4, 5, 6}, "10.0.0.7");
  answer(devices, *request, reply);
  ASSERT_TRUE(waitForEnd(subscriber));
  const auto deliveries = subscriber.deliveries();
  ASSERT_EQ(deliveries.size(), 2u);
  EXPECT_EQ(deliveries[0].payload, reply);
  EXPECT_EQ(deviceList(), std::vector<unsigned long>{addressOf("10.0.0.7")});
}

// The end-of-scan callback starts the next scan while the receives of the
// closed socket still wait to be handled.
Recorder nextScan;
void startNextScan(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream& stream) {
  static_cast<Recorder*>(context)->record(header, stream);
  NetworkScanner::triggerScan(kDeliver | kKeepBinary, 0, 0, Recorder::callback, &nextScan);
}

TEST_F(ScannerTest, AScanStartedAtTheEndOfTheLastKeepsItsReceivesApart) {
  UdpPeer devices(kDiscoveryPort);
  Recorder first;
  NetworkScanner::triggerScan(0, 0, 0, startNextScan, &first);
  ASSERT_TRUE(devices.receive(3s));
  const auto request = devices.receive(5s);
  ASSERT_TRUE(request) << "no second scan";
  constexpr int kReplies = 40;  // each receive slot is used more than once
  for (int i = 0; i < kReplies; ++i) {
    const std::string address = "10.0.1." + std::to_string(i + 1);
    answer(devices, *request, binaryReply(*request, Mac{1, 2, 3, 4, 5, static_cast<uint8_t>(i)}, address.c_str()));
  }
  ASSERT_TRUE(waitForEnd(nextScan));
  // Exactly the replies, then the end: no empty datagram from a stale receive.
  const auto deliveries = nextScan.deliveries();
  ASSERT_EQ(deliveries.size(), static_cast<size_t>(kReplies + 1));
  for (int i = 0; i < kReplies; ++i) EXPECT_EQ(deliveries[static_cast<size_t>(i)].payload.size(), 32u) << i;
  EXPECT_EQ(deviceList().size(), static_cast<size_t>(kReplies));
  EXPECT_EQ(first.count(), 1u);
}

TEST_F(ScannerTest, DeviceListChangedOnlyWhenTheSetOfAddressesChanges) {
  const auto logs = loggingtest::temporaryDirectory("scan-changed");
  zelkit::System::setLoggingDirectory(logs.c_str());
  // Local notifications of the system reach the callbacks of "127.1.1.1".
  zelkit::ZelClient system("127.1.1.1", 0, 0);
  Recorder events;
  system.registerMessageCallback(Recorder::callback, &events);
  UdpPeer devices(kDiscoveryPort);
  const auto changes = [&] {
    size_t count = 0;
    for (const auto& delivery : events.deliveries()) count += delivery.tag == 0x00200020;
    return count;
  };

  struct Round {
    std::vector<const char*> addresses;
    size_t changesAfter;
  };
  const Round rounds[] = {
      {{"10.0.0.7", "10.0.0.3"}, 1},  // from no device to two
      {{"10.0.0.3", "10.0.0.7"}, 1},  // the same set in another order
      {{"10.0.0.3"}, 2},
  };
  uint8_t last = 0;
  for (const Round& round : rounds) {
    Recorder subscriber;
    NetworkScanner::triggerScan(0, 0, 0, Recorder::callback, &subscriber);
    const auto request = devices.receive(3s);
    ASSERT_TRUE(request);
    for (const char* address : round.addresses) answer(devices, *request, binaryReply(*request, Mac{1, 2, 3, 4, 5, ++last}, address));
    ASSERT_TRUE(waitForEnd(subscriber));
    // Posted at the end, delivered at the next housekeeping pass.
    enginetest::waitUntil([&] { return changes() >= round.changesAfter; }, 2s);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(changes(), round.changesAfter);
  }
  zelkit::System::unregisterCallback(Recorder::callback, &events);
}

}  // namespace
