// Drives the HTTP engine through a script given as arguments and prints what happens,
// one JSON object per line, so that a test running the test server can check the
// engine on either target (under Wine a Windows test cannot start the server itself).
//
//   startup | shutdown            run the engine call; prints {"event":"startup","ok":..}
//   header NAME VALUE             a header field for the next request (setHeader)
//   limit BYTES                   the body bound of the next request (maxBodyBytes)
//   get URL | post URL BODY       send a request; prints {"event":"sent","id":N} when
//                                 send returns, and {"event":"reply","id":N,...} from
//                                 its callback
//   wait                          pump until every sent request has its reply (60 s max)
//   pump-ms MS                    pump for MS milliseconds
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <picojson.h>

#include "http/http.h"

namespace {

int sentCount = 0;
int replyCount = 0;

void printLine(picojson::object const& line) {
  std::string const text = picojson::value(line).serialize();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string hex(std::vector<uint8_t> const& bytes) {
  static char const digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

void printReply(int id, HTTP::Reply const& reply) {
  ++replyCount;
  picojson::object headers;
  for (auto const& [name, value] : reply.headers) headers[name] = picojson::value(value);
  picojson::object line;
  line["event"] = picojson::value("reply");
  line["id"] = picojson::value(static_cast<int64_t>(id));
  line["status"] = picojson::value(static_cast<int64_t>(reply.status));
  line["success"] = picojson::value(reply.isSuccess());
  line["headers"] = picojson::value(headers);
  line["body_hex"] = picojson::value(hex(reply.body));
  printLine(line);
}

void pumpFor(std::chrono::milliseconds span, bool untilAllReplied) {
  auto const deadline = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < deadline) {
    if (untilAllReplied && replyCount >= sentCount) return;
    HTTP::pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (untilAllReplied) {
    picojson::object line;
    line["event"] = picojson::value("timeout");
    printLine(line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> const args(argv + 1, argv + argc);
  HTTP::Request next;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string const& step = args[i];
    auto operand = [&]() -> std::string {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "probe: %s needs an operand\n", step.c_str());
        std::exit(2);
      }
      return args[++i];
    };
    if (step == "startup") {
      bool const ok = HTTP::startup();
      picojson::object line;
      line["event"] = picojson::value("startup");
      line["ok"] = picojson::value(ok);
      printLine(line);
    } else if (step == "shutdown") {
      HTTP::shutdown();
      picojson::object line;
      line["event"] = picojson::value("shutdown");
      printLine(line);
    } else if (step == "header") {
      std::string name = operand();
      next.setHeader(std::move(name), operand());
    } else if (step == "limit") {
      next.maxBodyBytes = std::stoull(operand());
    } else if (step == "get" || step == "post") {
      next.method = step == "get" ? HTTP::Method::GET : HTTP::Method::POST;
      next.url = operand();
      if (step == "post") {
        std::string const body = operand();
        next.body.assign(body.begin(), body.end());
      }
      int const id = ++sentCount;
      HTTP::send(std::move(next), [id](HTTP::Reply const& reply) { printReply(id, reply); });
      next = HTTP::Request{};
      picojson::object line;
      line["event"] = picojson::value("sent");
      line["id"] = picojson::value(static_cast<int64_t>(id));
      printLine(line);
    } else if (step == "wait") {
      pumpFor(std::chrono::seconds(60), true);
    } else if (step == "pump-ms") {
      pumpFor(std::chrono::milliseconds(std::stoi(operand())), false);
    } else {
      std::fprintf(stderr, "probe: unknown step %s\n", step.c_str());
      return 2;
    }
  }
  return 0;
}
