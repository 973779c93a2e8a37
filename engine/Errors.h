// Error numbers and texts of the language, and the exception that carries a script error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vbs {

// Run-time errors (Err.Number values). The texts live in the table in Errors.cpp.
enum RuntimeError : int32_t {
  kInvalidCall = 5,
  kOverflow = 6,
  kOutOfMemory = 7,
  kSubscriptOutOfRange = 9,
  kArrayLocked = 10,
  kDivisionByZero = 11,
  kTypeMismatch = 13,
  kUserInterrupt = 18,
  kOutOfStack = 28,
  kSubNotDefined = 35,
  kObjectNotSet = 91,
  kForNotInitialized = 92,
  kInvalidNull = 94,
  kObjectRequired = 424,
  kCannotCreateObject = 429,
  kNoSuchMember = 438,
  kArgumentNotOptional = 449,
  kUnsupportedType = 458,
  kWrongArgCount = 450,
  kNotACollection = 451,
  kVariableUndefined = 500,
  kIllegalAssignment = 501,
  kUnqualifiedReference = 505,
  kClassNotDefined = 506,
  kAccessDenied = 70,
  kFileNotFound = 53,
  kPathNotFound = 76,
};

// Compile errors (reported before any code of the chunk runs).
enum CompileError : int32_t {
  kOutOfMemoryC = 1001,
  kSyntaxError = 1002,
  kExpectedColon = 1003,
  kExpectedLParen = 1005,
  kExpectedRParen = 1006,
  kExpectedIdentifier = 1010,
  kExpectedEquals = 1011,
  kExpectedIf = 1012,
  kExpectedTo = 1013,
  kExpectedEnd = 1014,
  kExpectedFunction = 1015,
  kExpectedSub = 1016,
  kExpectedThen = 1017,
  kExpectedWend = 1018,
  kExpectedLoop = 1019,
  kExpectedNext = 1020,
  kExpectedCase = 1021,
  kExpectedSelect = 1022,
  kExpectedExpression = 1023,
  kExpectedStatement = 1024,
  kExpectedEndOfStatement = 1025,
  kExpectedInteger = 1026,
  kExpectedWhileUntil = 1027,
  kExpectedWhileUntilEos = 1028,
  kExpectedWith = 1029,
  kIdentifierTooLong = 1030,
  kInvalidNumber = 1031,
  kInvalidCharacter = 1032,
  kUnterminatedString = 1033,
  kInvalidMe = 1037,
  kLoopWithoutDo = 1038,
  kInvalidExit = 1039,
  kInvalidForVariable = 1040,
  kNameRedefined = 1041,
  kMustBeFirstStatement = 1042,
  kAssignToNonByVal = 1043,
  kParensCallingSub = 1044,
  kExpectedLiteral = 1045,
  kExpectedIn = 1046,
  kExpectedClass = 1047,
  kMustBeInClass = 1048,
  kExpectedLetSetGet = 1049,
  kExpectedProperty = 1050,
  kInconsistentPropertyArgs = 1051,
  kMultipleDefault = 1052,
  kInitTermArgs = 1053,
  kPropertyNeedsArg = 1054,
  kUnexpectedNext = 1055,
  kDefaultNeedsPublic = 1057,
  kDefaultOnlyGet = 1058,
  kTooDeep = 1059,
};

// The language's number for an error: a well-known COM status code (E_INVALIDARG is 5,
// E_OUTOFMEMORY 7, ...) or one of the language's own in status-code form (&h800A000B is
// 11) becomes that number; any other number stays as it is.
int32_t ErrorNumberOf(int32_t number);
// The text of an error number, or "Unknown runtime error" when the table has none.
std::string_view ErrorText(int32_t number);
// True for numbers in the compile-error range.
bool IsCompileError(int32_t number);

// A script error on its way to the nearest handler (On Error Resume Next, or the host).
// Host code raises run-time errors by throwing it.
struct ScriptError {
  int32_t number = 0;
  std::string description;
  std::string source;
  int line = 0;        // 1-based; 0 until the statement that failed is known
  int column = 0;      // 1-based
  std::string script;  // name of the code (as given to AddCode) where it happened
  std::string subject;   // the variable or member the error is about, for the report
  std::string helpFile;  // what Err.Raise was given (Err.HelpFile, Err.HelpContext)
  int32_t helpContext = 0;
  // Time-outs and host aborts cannot be caught by On Error Resume Next.
  bool uncatchable = false;

  ScriptError() = default;
  // The number goes through ErrorNumberOf.
  explicit ScriptError(int32_t n);
  ScriptError(int32_t n, std::string desc);
};

[[noreturn]] void Throw(int32_t number);
[[noreturn]] void Throw(int32_t number, std::string description);

}  // namespace vbs
