#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "ErrorHandling/ErrorHandling.h"
#include "sov/base/BaseException.h"

namespace {

TEST(ShortSourceName, KeepsShortPathsAndCutsLongOnesToTheLast24Characters) {
  const char* p24 = "abcdefghijklmnopqrstuvwx";   // 24 characters
  const char* p25 = "abcdefghijklmnopqrstuvwxy";  // 25 characters
  EXPECT_STREQ(ShortSourceName(p24), "abcdefghijklmnopqrstuvwx");
  EXPECT_EQ(ShortSourceName(p24), p24);
  EXPECT_STREQ(ShortSourceName(p25), "bcdefghijklmnopqrstuvwxy");
  EXPECT_STREQ(ShortSourceName(""), "");
  static_assert(ShortSourceName("0123456789012345678901234")[0] == '1');
}

TEST(BaseExceptionText, ProtocolExceptionNamesSourceLineClassAndMessage) {
  ProtocolException e("Unexpected message header", "Receiver.cpp", 12);
  EXPECT_STREQ(e.what(), "Receiver.cpp:12 class ProtocolException; Unexpected message header");
}

TEST(BaseExceptionText, ErrCodeExceptionWithKnownCodeCarriesTheSystemText) {
  ErrCodeException e(183, "Config.cpp", 125);
  EXPECT_STREQ(e.what(),
               "Config.cpp:125 class ErrCodeException(errcode 183); ; "
               "Cannot create a file when that file already exists.\r\n");
}

TEST(BaseExceptionText, WindowsCodesInUseCarryTheirSystemText) {
  // Codes the modules raise besides errno values: each names its failure in the log.
  const std::pair<int32_t, const char*> known[] = {
      {static_cast<int32_t>(0x80070057u), "The parameter is incorrect.\r\n"},
      {static_cast<int32_t>(0x80004004u), "Operation aborted\r\n"},
      {static_cast<int32_t>(0x80070005u), "Access is denied.\r\n"},
      {static_cast<int32_t>(0x80004005u), "Unspecified error\r\n"},
      {static_cast<int32_t>(0x8007000Eu),
       "Not enough memory resources are available to complete this operation.\r\n"},
      {183, "Cannot create a file when that file already exists.\r\n"},
      {1630, "Data of this type is not supported.\r\n"},
  };
  for (const auto& [code, text] : known) {
    ErrCodeException e(code, "x.cpp", 3);
    EXPECT_EQ(std::string(e.what()),
              "x.cpp:3 class ErrCodeException(errcode " + std::to_string(code) + "); ; " + text);
  }
}

TEST(BaseExceptionText, ErrnoCodesUseTheirDescription) {
  ErrCodeException e(2, "x.cpp", 1);
  EXPECT_STREQ(e.what(), "x.cpp:1 class ErrCodeException(errcode 2); ; No such file or directory");
}

TEST(BaseExceptionText, UnknownCodeEndsInUnknown) {
  ErrCodeException e(123456, "x.cpp", 7);
  EXPECT_STREQ(e.what(), "x.cpp:7 class ErrCodeException(errcode 123456); ; <unknown>");
  ErrCodeException negative(-5, "x.cpp", 8);
  EXPECT_STREQ(negative.what(), "x.cpp:8 class ErrCodeException(errcode -5); ; <unknown>");
}

TEST(BaseExceptionText, DerivedClassesKeepTheirFixedCodesAndDynamicNames) {
  ConvertException c("Convert.cpp", 30);
  EXPECT_EQ(c.Code(), static_cast<int32_t>(0x80070057u));
  EXPECT_STREQ(
      c.what(),
      "Convert.cpp:30 class ConvertException(errcode -2147024809); ; The parameter is incorrect.\r\n");
  InterruptQueueException q("BlockingQueue.h", 90);
  EXPECT_EQ(q.Code(), static_cast<int32_t>(0x80004004u));
  EXPECT_STREQ(
      q.what(),
      "BlockingQueue.h:90 class InterruptQueueException(errcode -2147467260); ; Operation aborted\r\n");
  HttpNotAuthorizedException h("HttpClient.cpp");
  EXPECT_STREQ(h.what(), "HttpClient.cpp:0 class HttpNotAuthorizedException; 401 Not authorized");
  HttpServer5xxException s("HttpClient.cpp");
  EXPECT_STREQ(s.Message(), "Http 5xx Server Error");
}

TEST(BaseExceptionText, WhatIsFormattedOnceAndStable) {
  ReceiveException e(104, "TransportBase.cpp", 200);
  const char* first = e.what();
  const char* second = e.what();
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first,
               "TransportBase.cpp:200 class ReceiveException(errcode 104); ; Connection reset by peer");
}

TEST(BaseExceptionText, CatchableThroughTheTree) {
  try {
    throw InterruptQueueException("q", 1);
  } catch (const InterruptException& e) {
    EXPECT_EQ(e.Code(), ErrCode::Abort);
  }
  try {
    throw ReceiveException(5, "r", 2);
  } catch (const TransportException& e) {
    EXPECT_EQ(e.Code(), 5);
  }
  EXPECT_THROW(throw HttpNotAuthorizedException("h"), HttpClient4xxException);
  EXPECT_THROW(throw HttpServer5xxException("h"), HttpCodeException);
}

TEST(ErrorHandlingHelpers, ProtocolFailuresCarryTheHelperSourceAndLine47) {
  try {
    ErrorHandling::ThrowUnexpectedHeader();
    FAIL();
  } catch (const ProtocolException& e) {
    EXPECT_EQ(e.Line(), 47);
    EXPECT_STREQ(e.Source(), ShortSourceName(e.Source()));
    EXPECT_NE(std::string(e.Source()).find("ErrorHandling.h"), std::string::npos);
    EXPECT_STREQ(e.Message(), "Unexpected message header");
  }
  try {
    ErrorHandling::ThrowProtocolFailure();
    FAIL();
  } catch (const ProtocolException& e) {
    EXPECT_STREQ(e.Message(), "General protocol failure");
    EXPECT_EQ(e.Line(), 47);
  }
  EXPECT_THROW(ErrorHandling::ThrowInterrupted(), InterruptException);
}

}  // namespace
