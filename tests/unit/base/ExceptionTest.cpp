#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "ErrorHandling/ErrorHandling.h"
#include "sov/base/BaseException.h"

namespace {

TEST(ShortSourceName, KeepsShortPathsAndCutsLongOnesToTheLast24Characters) {
  const char* p24 = "abcdefghijklmnopqrstuvwx";
  EXPECT_EQ(ShortSourceName(p24), p24);
  EXPECT_STREQ(ShortSourceName("abcdefghijklmnopqrstuvwxy"), "bcdefghijklmnopqrstuvwxy");
  EXPECT_STREQ(ShortSourceName(""), "");
  static_assert(ShortSourceName("0123456789012345678901234")[0] == '1');
}

TEST(BaseExceptionText, FormatsSourceLineClassCodeMessageAndSystemText) {
  const std::pair<std::string, std::string> cases[] = {
      {ProtocolException("Unexpected message header", "Receiver.cpp", 12).what(),
       "Receiver.cpp:12 class ProtocolException; Unexpected message header"},
      {ErrCodeException(183, "Config.cpp", 125).what(),
       "Config.cpp:125 class ErrCodeException(errcode 183); ; Cannot create a file when that file already "
       "exists."},
      {ErrCodeException(2, "x.cpp", 1).what(),
       "x.cpp:1 class ErrCodeException(errcode 2); ; No such file or directory"},
      {ErrCodeException(123456, "x.cpp", 7).what(),
       "x.cpp:7 class ErrCodeException(errcode 123456); ; <unknown>"},
      {ErrCodeException(-5, "x.cpp", 8).what(), "x.cpp:8 class ErrCodeException(errcode -5); ; <unknown>"},
      {ConvertException("Convert.cpp", 30).what(),
       "Convert.cpp:30 class ConvertException(errcode -2147024809); ; The parameter is incorrect."},
      {InterruptQueueException("BlockingQueue.h", 90).what(),
       "BlockingQueue.h:90 class InterruptQueueException(errcode -2147467260); ; Operation aborted"},
      {HttpNotAuthorizedException("HttpClient.cpp").what(),
       "HttpClient.cpp:0 class HttpNotAuthorizedException; 401 Not authorized"},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

TEST(BaseExceptionText, SystemTextsEndWithoutLineBreak) {
  // what() goes inside log and standard-error lines; a CR or LF of its own breaks them.
  for (int32_t code :
       {ErrCode::InvalidArg, ErrCode::Abort, ErrCode::AccessDenied, ErrCode::Fail, ErrCode::OutOfMemory,
        ErrCode::AlreadyExists, ErrCode::UnsupportedType, 1, ECONNRESET}) {
    const std::string text = SystemErrorText(code);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code;
    EXPECT_NE(text, "<unknown>") << code;
  }
}

TEST(BaseExceptionText, WhatIsFormattedOnce) {
  ReceiveException e(104, "TransportBase.cpp", 200);
  EXPECT_EQ(e.what(), e.what());
  EXPECT_STREQ(HttpServer5xxException("h").Message(), "Http 5xx Server Error");
}

TEST(ErrorHandlingHelpers, ProtocolFailuresCarryTheHelperSourceAndLine47) {
  const std::pair<void (*)(), std::string> helpers[] = {
      {&ErrorHandling::ThrowUnexpectedHeader,
       "ErrorHandling.h:47 class ProtocolException; Unexpected message header"},
      {&ErrorHandling::ThrowProtocolFailure,
       "ErrorHandling.h:47 class ProtocolException; General protocol failure"}};
  for (const auto& [thrower, text] : helpers) {
    try {
      thrower();
    } catch (const ProtocolException& e) {
      EXPECT_TRUE(std::string(e.what()).ends_with(text)) << e.what();
    }
  }
  EXPECT_THROW(ErrorHandling::ThrowInterrupted(), InterruptException);
}

}  // namespace
