#include "transport/DatagramSocket.h"

#include <vector>

namespace quorvane {

namespace {

sockaddr_in record(const Endpoint& endpoint) {
  sockaddr_in address{};
  if (endpoint.address == 0 && endpoint.port == 0) return address;  // every send to it fails
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(endpoint.address);
  address.sin_port = htons(endpoint.port);
  return address;
}

}  // namespace

int DatagramSocket::receive(std::uint8_t* buffers, int size, int count, int* lengths,
                            Endpoint* senders, bool waitForFirst) {
  sockaddr_in from[kBatch];
  count = count < kBatch ? count : kBatch;
  const int received =
      sys::receiveDatagrams(sock_, buffers, size, count, lengths, from, waitForFirst);
  for (int i = 0; i < received; ++i) {
    senders[i] = Endpoint{ntohl(from[i].sin_addr.s_addr), ntohs(from[i].sin_port)};
  }
  return received;
}

void DatagramSocket::send(const Outgoing* datagrams, int count) {
  sys::OutgoingDatagram outgoing[kBatch];
  while (count > 0) {
    const int batch = count < kBatch ? count : kBatch;
    for (int i = 0; i < batch; ++i) {
      outgoing[i] = {datagrams[i].bytes, datagrams[i].length, record(datagrams[i].destination)};
    }
    sys::sendDatagrams(sock_, outgoing, batch);
    datagrams += batch;
    count -= batch;
  }
}

void DatagramSocket::waitForDatagram() { sys::waitReady(sock_, false, -1); }

void DatagramSocket::wakeReceiver() {
  const int port = localPort();
  if (port <= 0) return;
  const std::uint8_t none = 0;
  sendTo(&none, 0, sys::resolveAddress("127.0.0.1", port));
}

}  // namespace quorvane
