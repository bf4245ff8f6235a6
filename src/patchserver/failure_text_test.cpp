#include "patchserver/failure_text.h"

#include <gtest/gtest.h>

#include <set>

#include "os/message_ids.h"
#include "os/messages.h"

namespace {

using TarvInet::TransferCause;
using TarvMessages::Language;

// Every cause a player can see has its own sentence in every language, and
// the status of an HTTP answer is put into its sentence.
TEST(FailureTextTest, EachCauseHasItsOwnSentenceInEachLanguage) {
  const TransferCause causes[] = {
      TransferCause::kHostNotFound, TransferCause::kRefused, TransferCause::kHttpStatus,
      TransferCause::kStalled,      TransferCause::kTimeUp,  TransferCause::kCertificate,
      TransferCause::kDiskFull,     TransferCause::kTooLong, TransferCause::kNotFound,
      TransferCause::kOther,
  };
  for (Language language : {Language::kEnglish, Language::kGerman, Language::kFrench}) {
    TarvMessages::SetThreadLanguage(language);
    std::set<std::wstring> seen;
    for (TransferCause cause : causes) {
      std::wstring text = TarvPatchServer::DescribeFailure({cause, 503});
      SCOPED_TRACE(static_cast<int>(cause));
      EXPECT_FALSE(text.empty());
      EXPECT_EQ(text.find(L'%'), std::wstring::npos);
      EXPECT_TRUE(seen.insert(text).second);
      EXPECT_EQ(text.find(L"503") != std::wstring::npos, cause == TransferCause::kHttpStatus);
    }
    // What has no sentence of its own is a failed connection.
    EXPECT_EQ(TarvPatchServer::DescribeFailure({TransferCause::kNone, 0}),
              TarvPatchServer::DescribeFailure({TransferCause::kOther, 0}));
  }
  TarvMessages::SetThreadLanguage(Language::kEnglish);
  EXPECT_EQ(TarvPatchServer::DescribeFailure({TransferCause::kHttpStatus, 404}),
            L"The server answered with error 404.");
}

// The texts of the download status line and of the command line take the
// same numbers in each language.
TEST(FailureTextTest, OtherTextsOfTransfersKeepTheirPlaceholders) {
  namespace Id = TarvMessages::Id;
  for (int id : {Id::kDownloadProgressSeconds, Id::kLimitRateHelp, Id::kLimitRateInvalid}) {
    SCOPED_TRACE(id);
    std::wstring english = TarvMessages::LoadMessage(id, Language::kEnglish);
    for (Language language : {Language::kGerman, Language::kFrench}) {
      std::wstring text = TarvMessages::LoadMessage(id, language);
      ASSERT_FALSE(text.empty());
      size_t count = 0, english_count = 0;
      for (size_t at = text.find(L"%lu"); at != std::wstring::npos; at = text.find(L"%lu", at + 1))
        ++count;
      for (size_t at = english.find(L"%lu"); at != std::wstring::npos;
           at = english.find(L"%lu", at + 1))
        ++english_count;
      EXPECT_EQ(count, english_count);
    }
  }
}

}  // namespace
