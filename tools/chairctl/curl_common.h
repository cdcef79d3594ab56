// libcurl set-up shared by plain requests and the event stream.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <string>

#include "tools/chairctl/client.h"

namespace chairctl {

// curl_global_init, once per process.
void ensure_curl();

// Options every transfer to the service uses. `timeout` bounds the whole transfer; zero
// leaves it unbounded (the event stream).
void configure_transfer(CURL* easy, const std::string& url, std::chrono::milliseconds timeout, char* error_buffer);

// A transfer that ended without an answer: interrupted, or the service unreachable.
Failure transfer_failure(CURL* easy, CURLcode code, const std::string& url, const char* error_buffer);

// "cannot reach the service at URL: <OS error> (<curl's account>)".
std::string unreachable_text(CURL* easy, CURLcode code, const std::string& url, const char* error_buffer);

}  // namespace chairctl
