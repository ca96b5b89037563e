// A small host program that drives the SDK.
#include <cstdio>

#include "platform/DispatchQueue.h"

int main() {
  auto worker = platform::DispatchQueue::create("example.worker");
  bool done = false;
  worker->async([&] {
    platform::DispatchQueue::main()->async([&] {
      std::printf("worker queue handed back to the main queue\n");
      done = true;
    });
  });
  platform::DispatchQueue::main()->runUntil([&] { return done; }, 5);
  return done ? 0 : 1;
}
