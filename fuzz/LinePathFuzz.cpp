// Bytes from several clients go through line cutting and dispatch into a server whose connections
// carry their bytes in memory (MemoryConnection). Every byte a client receives must form lines the server may write, each ending
// in CR LF and fitting what the client was told before (ClientView); a client still connected
// when the server stops is told "quit" and its stream ends, and a connection the server refuses
// ends unheard. Every datagram the server sends is a full one of a kind it sends.
//
// The fuzzing thread plays the event loop of the connections itself (PlayedLoop), so an input
// runs without waiting for another thread: it takes the loop lock to hand them to the server, as a
// loop does, and calls their read handlers and sends their output where a loop would. It plays the
// voice thread too: the server is started without threads (startDriven), and what a step sends to
// its voice socket is relayed before the step ends.
//
// The input: option letters, then steps, each "|", a selector byte and a payload. The selector
// modulo 4 names the client, the selector / 4 modulo 4 the action:
//   0 ('0'-'3')  the payload goes to the server as the client's bytes;
//   1 ('4'-'7')  a voice hello that the voice thread passes on; payload byte 0 is datagram byte 1,
//                bytes 1 and 2 the id to name;
//   2 ('8'-';')  a voice datagram to forward, sent to the server's voice socket; payload byte 0
//                names the recipient;
//   3 ('<'-'?')  an event: a client that is gone connects anew; "t" lets the timer fire 100
//                seconds later; anything else closes the client's end.
// Options: v clients start without a confirmed voice path, p the server has the password "pw",
// f no forwarding, c no channel creation, o no operators, s static channels, a no voice address
// check (hellos and voice then count from any address).
// Each client's connection comes from its voice address; a hello or voice datagram comes from
// the voice endpoint of the client whose step sends it (a UDP socket on that address).
#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/ClientView.h"
#include "FuzzSupport.h"
#include "client/ServerLine.h"
#include "protocol/VoiceDatagram.h"
#include "server/Channel.h"
#include "server/UserSession.h"
#include "transport/Reactor.h"

namespace quorvane::fuzz {
namespace {

constexpr int kClients = 4;
constexpr char kStepMark = '|';
constexpr std::time_t kStartTime = 1000000;
constexpr std::time_t kTimerStep = 100;
// The TCP port client slot k seems to come from is this plus k.
constexpr int kPeerPortBase = 40000;
// Timer 1 fires only when a step says so.
constexpr int kQuietTimerMs = 24 * 3600 * 1000;

enum class Action { Bytes, Hello, Forward, Event };

struct Options {
  bool voiceConfirmed = true;
  bool password = false;
  bool forwarding = true;
  bool channelCreation = true;
  bool operators = true;
  bool staticChannels = false;
  bool addressCheck = true;
};

struct Step {
  int slot;
  Action action;
  std::string_view payload;
};

struct Input {
  Options options;
  std::vector<Step> steps;
};

void readOptions(std::string_view letters, Options& options) {
  for (char letter : letters) {
    switch (letter) {
      case 'v': options.voiceConfirmed = false; break;
      case 'p': options.password = true; break;
      case 'f': options.forwarding = false; break;
      case 'c': options.channelCreation = false; break;
      case 'o': options.operators = false; break;
      case 's': options.staticChannels = true; break;
      case 'a': options.addressCheck = false; break;
      default: break;
    }
  }
}

Input parseInput(std::string_view bytes) {
  Input input;
  std::size_t mark = bytes.find(kStepMark);
  readOptions(bytes.substr(0, mark), input.options);
  while (mark != std::string_view::npos) {
    const std::size_t next = bytes.find(kStepMark, mark + 1);
    const std::string_view step =
        bytes.substr(mark + 1, next == std::string_view::npos ? next : next - mark - 1);
    if (!step.empty()) {
      const auto selector = static_cast<unsigned char>(step[0]);
      input.steps.push_back(
          {selector % kClients, static_cast<Action>(selector / kClients % 4), step.substr(1)});
    }
    mark = next;
  }
  return input;
}

// /lobby/, and /games/ with the password "pw" holding /games/quiet/.
const Channel& staticChannels() {
  static const Channel* root = [] {
    auto* tree = new Channel(std::string());
    tree->addChild(std::make_unique<Channel>("lobby"))->setTopic("Hello \"all\"");
    Channel* games = tree->addChild(std::make_unique<Channel>("games"));
    games->setPassword("pw");
    games->addChild(std::make_unique<Channel>("quiet"));
    return tree;
  }();
  return *root;
}

// Clients 0 and 1 are local (operators everywhere), the others are not.
constexpr const char* kVoiceAddresses[] = {"127.0.0.1", "127.0.0.1", "127.0.0.2", "127.0.0.3"};

// The voice endpoints of the clients: one UDP socket on each client address. The hellos and
// voice of a client come from its socket, and what the server sends there is checked.
class VoiceEndpoints {
 public:
  LoopbackUdp& of(int slot) { return slot < 2 ? local_ : slot == 2 ? second_ : third_; }
  Endpoint endpoint(int slot) { return Endpoint::of(kVoiceAddresses[slot], of(slot).port()); }
  // Everything the server sent to them: full datagrams of the kinds it sends.
  void check();

 private:
  LoopbackUdp local_{kVoiceAddresses[0]};
  LoopbackUdp second_{kVoiceAddresses[2]};
  LoopbackUdp third_{kVoiceAddresses[3]};
};

void VoiceEndpoints::check() {
  std::string datagram;
  for (LoopbackUdp* socket : {&local_, &second_, &third_}) {
    while (socket->receive(datagram)) {
      const int kind = datagram.empty() ? 0 : static_cast<unsigned char>(datagram[0]);
      if (datagram.size() != kDatagramSize ||
          (kind != kVoiceHelloReply && kind != kVoiceKeepAlive && kind != kVoiceForwarded)) {
        fail("a datagram the server may not send", datagram);
      }
    }
  }
}

// The event loop of one input's connections, played by the fuzzing thread: a Reactor that never
// runs on a thread of its own. A connection added to it before it reaches the server is never
// adopted by the pool's loops. Its passes run as a stopped loop's last pass does: what is due
// runs, the queued output is taken and sent, and connections that are done are destroyed.
class PlayedLoop {
 public:
  explicit PlayedLoop(ReactorPool& pool) : pool_(pool), reactor_(pool, kIndex) {
    ReactorPool::Section section(pool_);
    reactor_.stop();
  }
  // What it still holds (retired connections) goes with it, lock held.
  ~PlayedLoop() { ReactorPool::Section section(pool_); }

  // Lock held.
  void add(ClientConnection* connection) { reactor_.add(connection); }
  // Lock not held: one pass.
  void pass() { reactor_.run(); }

 private:
  // Not the first loop, which runs the tasks posted to the pool.
  static constexpr std::size_t kIndex = 1;
  ReactorPool& pool_;
  Reactor reactor_;
};

struct Client {
  UserSession* session = nullptr;
  ClientConnection* connection = nullptr;
  int id = 0;
  // The client's side of its connection; none before it first connects.
  std::shared_ptr<MemoryPipe> pipe;
  // Received bytes not yet cut into lines.
  std::string pending;
  ClientView view{0};
  bool ended = false;
};

// One input played against one server; the fuzzing thread takes the loop lock as a loop does.
class LinePathRun {
 public:
  LinePathRun(ReactorPool& pool, VoiceServer& server, const Options& options,
              VoiceEndpoints& voice, std::time_t& clock)
      : pool_(pool), server_(server), options_(options), voice_(voice), clock_(clock),
        loop_(pool) {}
  ~LinePathRun() {
    for (Client& client : clients_) {
      if (client.pipe) client.pipe->clientClose();
    }
  }

  void play(const std::vector<Step>& steps);
  // Stops the server and checks what every client received last.
  void finish();

 private:
  // Lock held.
  bool alive(const Client& client) const {
    return client.session != nullptr && server_.findUser(client.id) == client.session;
  }
  void connect(int slot);
  void hello(int slot, std::string_view payload);
  void forward(int slot, std::string_view payload);
  void event(int slot, std::string_view payload);
  // Serves every readable connection, as the loop would, until none is readable.
  void serve();
  // The connection of a client whose input the loop reads now (it has an owner that takes
  // lines), or none.
  ClientConnection* reading(const Client& client);
  // Sends what the connections queued and reads it at the clients.
  void flush();
  void collect(Client& client);
  void checkLine(Client& client, std::string_view line);

  ReactorPool& pool_;
  VoiceServer& server_;
  const Options& options_;
  VoiceEndpoints& voice_;
  std::time_t& clock_;
  PlayedLoop loop_;
  std::array<Client, kClients> clients_;
};

void LinePathRun::play(const std::vector<Step>& steps) {
  for (int slot = 0; slot < kClients; ++slot) connect(slot);
  for (const Step& step : steps) {
    switch (step.action) {
      case Action::Bytes:
        clients_[step.slot].pipe->clientWrite(step.payload);
        serve();
        break;
      case Action::Hello: hello(step.slot, step.payload); break;
      case Action::Forward: forward(step.slot, step.payload); break;
      case Action::Event: event(step.slot, step.payload); break;
    }
    flush();
  }
}

void LinePathRun::connect(int slot) {
  Client& client = clients_[slot];
  if (client.pipe) client.pipe->clientClose();
  client = Client{};
  client.pipe = std::make_shared<MemoryPipe>();
  {
    ReactorPool::Section section(pool_);
    auto connection = std::make_unique<MemoryConnection>(pool_, client.pipe);
    client.connection = connection.get();
    loop_.add(client.connection);
    client.session = server_.addConnection(std::move(connection));
    if (client.session != nullptr) {
      client.id = client.session->id();
      // As if accepted from the client's own address (a pipe in memory has none).
      client.session->setPeer(kVoiceAddresses[slot], kPeerPortBase + slot);
    }
  }
  if (client.session == nullptr) {
    // Refused (a ban, say): closed before it was greeted.
    client.connection = nullptr;
    std::string received;
    if (!client.pipe->clientRead(received) || !received.empty()) {
      fail("a refused connection was not closed unheard", received);
    }
    client.ended = true;
    return;
  }
  client.view = ClientView(client.id);
  // A hello that confirms the voice path, as a client sends it after "welcome".
  if (options_.voiceConfirmed) hello(slot, std::string_view("\0", 1));
  flush();
}

void LinePathRun::hello(int slot, std::string_view payload) {
  const int id = payload.size() >= 3 ? static_cast<unsigned char>(payload[1]) |
                                           static_cast<unsigned char>(payload[2]) << 8
                                     : clients_[slot].id;
  const std::uint8_t bytes[kDatagramSize] = {
      kVoiceHello, static_cast<std::uint8_t>(payload.empty() ? 0 : payload[0]),
      static_cast<std::uint8_t>(id & 0xFF), static_cast<std::uint8_t>(id >> 8 & 0xFF)};
  // The server checks the address again itself: the voice thread's table may be behind.
  ReactorPool::Section section(pool_);
  server_.applyHello({helloId(bytes), voice_.endpoint(slot), helloConfirms(bytes)});
}

void LinePathRun::forward(int slot, std::string_view payload) {
  std::uint8_t bytes[kDatagramSize] = {kVoiceToForward};
  bytes[4] = static_cast<std::uint8_t>(payload.empty() ? clients_[(slot + 1) % kClients].id
                                                       : payload[0]);
  for (std::size_t i = 1; i < payload.size() && i + 4 < kDatagramSize; ++i) {
    bytes[i + 4] = static_cast<std::uint8_t>(payload[i]);
  }
  // Forwarded as the directory allows, as the voice thread would; it changes no line.
  voice_.of(slot).sendTo(server_.soundPort(), bytes, kDatagramSize);
  server_.relayWaitingVoice();
}

void LinePathRun::event(int slot, std::string_view payload) {
  Client& client = clients_[slot];
  bool connected;
  {
    ReactorPool::Section section(pool_);
    connected = alive(client);
  }
  if (!connected) {
    collect(client);
    connect(slot);
  } else if (payload.starts_with("t")) {
    clock_ += kTimerStep;
    server_.onTimer(VoiceServer::kTimerId);
  } else {
    client.pipe->clientShutdown();
    serve();
  }
}

ClientConnection* LinePathRun::reading(const Client& client) {
  ReactorPool::Section section(pool_);
  if (!alive(client)) return nullptr;
  // Every user in the table has its connection, which hands it lines or waits for it.
  if (client.connection->owner() != client.session) {
    fail("a connection stopped reading but its user stayed");
  }
  return client.connection->paused() ? nullptr : client.connection;
}

void LinePathRun::serve() {
  for (;;) {
    std::uint32_t readable = 0;
    for (int slot = 0; slot < kClients; ++slot) {
      if (reading(clients_[slot]) != nullptr && clients_[slot].pipe->serverReadable()) {
        readable |= 1u << slot;
      }
    }
    if (readable == 0) return;
    for (int slot = 0; slot < kClients; ++slot) {
      // A call before it may have ended this connection's reading.
      ClientConnection* connection = readable & 1u << slot ? reading(clients_[slot]) : nullptr;
      if (connection == nullptr) continue;
      // As the loop calls it: it reads without the lock and hands on what it read with it.
      if (connection->readInput()) {
        ReactorPool::Section section(pool_);
        if (connection->reactor() != nullptr) connection->deliverInput();
      }
      flush();
    }
  }
}

void LinePathRun::flush() {
  loop_.pass();
  for (Client& client : clients_) collect(client);
}

void LinePathRun::collect(Client& client) {
  if (!client.pipe || client.ended) return;
  client.ended = client.pipe->clientRead(client.pending);
  for (std::size_t end = client.pending.find('\n'); end != std::string::npos;
       end = client.pending.find('\n')) {
    checkLine(client, std::string_view(client.pending).substr(0, end + 1));
    client.pending.erase(0, end + 1);
  }
}

void LinePathRun::checkLine(Client& client, std::string_view line) {
  if (line.size() < 2 || line[line.size() - 2] != '\r') fail("a line without CR LF", line);
  line.remove_suffix(2);
  if (!ServerLine(std::string(line)).checkForm()) fail("a line the server may not write", line);
  std::string problem;
  if (!client.view.take(line, problem)) fail(problem, line);
}

void LinePathRun::finish() {
  std::array<bool, kClients> connected{};
  {
    ReactorPool::Section section(pool_);
    for (int slot = 0; slot < kClients; ++slot) connected[slot] = alive(clients_[slot]);
  }
  server_.stop();
  flush();
  for (int slot = 0; slot < kClients; ++slot) {
    const Client& client = clients_[slot];
    if (!client.pending.empty()) fail("a line cut short", client.pending);
    // Lines about users removed before it may follow its "quit".
    if (connected[slot] && (!client.view.toldQuit() || !client.ended)) {
      fail("a client connected at the stop was not told \"quit\"");
    }
  }
}

void configure(VoiceServer& server, const Options& options, std::time_t& clock) {
  server.setServerName("Fuzz \"Server\"");
  if (options.password) server.setServerPassword("pw");
  server.setAllowForwarding(options.forwarding);
  server.setAllowChannelCreation(options.channelCreation);
  server.setAllowOperators(options.operators);
  server.setVoiceAddressCheck(options.addressCheck);
  server.setClock([&clock] { return clock; });
  server.setTimerPeriod(kQuietTimerMs);
}

}  // namespace
}  // namespace quorvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvane;
  using namespace quorvane::fuzz;
  static ReactorPool pool;
  static VoiceEndpoints voice;
  const Input input = parseInput(std::string_view(reinterpret_cast<const char*>(data), size));
  std::time_t clock = kStartTime;
  auto server = std::make_unique<VoiceServer>(
      pool, input.options.staticChannels ? &staticChannels() : nullptr);
  configure(*server, input.options, clock);
  if (!server->startDriven()) fail("the server could not open its voice socket");
  {
    LinePathRun run(pool, *server, input.options, voice, clock);
    run.play(input.steps);
    run.finish();
  }
  server.reset();
  voice.check();
  return 0;
}
