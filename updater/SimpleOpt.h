#ifndef UPDATER_SIMPLEOPT_H
#define UPDATER_SIMPLEOPT_H

// Command-line option parser. It walks the words of a command line, matches
// them against a caller's table of options and reports one option per call of
// Next() together with an error code; it never prints. Words that are not
// options are moved, in their original order, behind the options in the
// caller's argv.

#include <algorithm>
#include <cstddef>
#include <new>

// How a table row takes its argument. Any other value is accepted without an
// argument check.
enum ESOArgType {
  ARG_NONE = 0,      // no argument; "-x=value" is an error
  ARG_SEPARATE = 1,  // required: the next word, or the text after "="
  ARG_ATTACHED = 2,  // required in the same word: after "=", or after the
                     // letter when FLAG_SHORT_ARG is set
  ARG_OPTIONAL = 3,  // allowed in the same word, not required
};

// Parser behaviour, combined bit-wise at construction.
enum ESOFlags {
  FLAG_EXACT_MATCH = 0x1,   // abbreviations are not accepted
  FLAG_NO_SLASH = 0x2,      // kept for callers that pass it; "/" never starts an option
  FLAG_SHORT_ARG = 0x4,     // "-xVALUE" for a row "-x" of kind 2 or 3
  FLAG_CLUMP = 0x8,         // "-abc" that is no option reads as -a -b -c
  FLAG_USE_ALL = 0x10,      // argv[0] is scanned too
  FLAG_NO_ERROR = 0x20,     // unknown "-words" are ordinary words; a kind-1
                            // argument may begin with "-"
  FLAG_PEDANTIC = 0x40,     // "-x=value" is an error for kind-1 rows
  FLAG_ICASE_SHORT = 0x100,  // A-Z match a-z for rows "-x"
  FLAG_ICASE_LONG = 0x200,   // ... for longer rows beginning with "-" or "--"
  FLAG_ICASE_WORD = 0x400,   // ... for rows without a leading "-"
};

// LastError() after Next().
enum ESOError {
  OPT_SUCCESS = 0,
  OPT_ERR_INVALID = -1,          // begins with "-" and matches no option
  OPT_ERR_AMBIGUOUS = -2,        // abbreviation of more than one option
  OPT_ERR_ARG_NOT_ALLOWED = -3,  // "=value" given to a kind-0 option
  OPT_ERR_ARG_ATTACHED = -4,     // "=value" given to a kind-1 option under FLAG_PEDANTIC
  OPT_ERR_ARG_MISSING = -5,      // a required argument is missing
  OPT_ERR_ARG_IS_OPTION = -6,    // the word that should be the argument begins with "-"
};

template <class SOCHAR>
class CSimpleOptTempl {
 public:
  // One table row. A row with a negative id ends the table.
  struct SOption {
    int id;              // handed back by OptionId()
    const SOCHAR* text;  // the option as typed, with its "-" or "--"
    int argType;         // ESOArgType
  };

  CSimpleOptTempl(int argc, SOCHAR** argv, const SOption* options, int flags = 0) : shuffleBuffer(NULL) {
    Init(argc, argv, options, flags);
  }

  ~CSimpleOptTempl() { delete[] shuffleBuffer; }

  CSimpleOptTempl(const CSimpleOptTempl&) = delete;
  CSimpleOptTempl& operator=(const CSimpleOptTempl&) = delete;

  // False when the heap buffer for more than kStackWords words could not be
  // allocated. The parser stays usable: words are then moved in place.
  bool Init(int argc, SOCHAR** argv, const SOption* options, int flags = 0) {
    this->options = options;
    this->flags = flags;
    this->argc = (argc < 0 || argv == NULL) ? 0 : argc;
    this->argv = argv;
    lastArg = this->argc;
    nextIndex = HasFlag(FLAG_USE_ALL) ? 0 : 1;
    optionIndex = 0;
    optionId = -1;
    optionText = NULL;
    optionArg = NULL;
    clump = NULL;
    lastError = OPT_SUCCESS;
    shortText[0] = static_cast<SOCHAR>('-');
    shortText[1] = 0;
    shortText[2] = 0;

    delete[] shuffleBuffer;
    shuffleBuffer = NULL;
    if (this->argc > kStackWords) {
      shuffleBuffer = new (std::nothrow) SOCHAR*[this->argc];
      if (shuffleBuffer == NULL) return false;
    }
    return true;
  }

  // Finds the next option. True: LastError(), OptionId(), OptionText() and
  // OptionArg() describe it. False: no option is left; argv then holds every
  // option word (with its argument words) first and every other word last.
  bool Next() {
    // A clump word starts a new round, so that a run of them costs no stack.
    for (;;) {
      if (clump != NULL && *clump != 0) {
        bool found = NextClumped();
        while (!found && *clump != 0 && HasFlag(FLAG_NO_ERROR)) found = NextClumped();
        if (found || !HasFlag(FLAG_NO_ERROR)) return true;
      }
      clump = NULL;
      Scan scan = ScanWords();
      if (scan != kClumpStarted) return scan == kReported;
    }
  }

  ESOError LastError() const { return lastError; }
  int OptionId() const { return optionId; }
  // The table's text when a row was found, so an abbreviation reports the
  // whole option; the word itself for an unknown option.
  const SOCHAR* OptionText() const { return optionText; }
  const SOCHAR* OptionArg() const { return optionArg; }

  // Takes the next n words as arguments of the current option and returns
  // where they stand in argv; NULL with OPT_ERR_ARG_MISSING when fewer are
  // left, NULL with OPT_ERR_ARG_IS_OPTION when one begins with "-".
  SOCHAR** MultiArg(int n) {
    if (n < 0 || nextIndex > lastArg - n) {
      lastError = OPT_ERR_ARG_MISSING;
      return NULL;
    }
    if (!HasFlag(FLAG_NO_ERROR)) {
      for (int i = 0; i < n; ++i) {
        const SOCHAR* word = argv[nextIndex + i];
        if (word == NULL || word[0] == kDash) {
          lastError = word == NULL ? OPT_ERR_ARG_MISSING : OPT_ERR_ARG_IS_OPTION;
          return NULL;
        }
      }
    }
    SOCHAR** words = &argv[nextIndex];
    nextIndex += n;
    return words;
  }

 private:
  // Command lines up to this many words are rearranged without allocating.
  static constexpr int kStackWords = 50;
  static constexpr SOCHAR kDash = static_cast<SOCHAR>('-');
  static constexpr SOCHAR kEquals = static_cast<SOCHAR>('=');

  enum Scan { kReported, kExhausted, kClumpStarted };

  // Looks for the next option word from nextIndex on and reports it.
  Scan ScanWords() {
    optionId = -1;
    optionText = NULL;
    optionArg = NULL;
    lastError = OPT_SUCCESS;
    optionIndex = nextIndex;

    int row = OPT_ERR_INVALID;
    SOCHAR* arg = NULL;
    bool unknownOption = false;
    while (nextIndex < lastArg) {
      SOCHAR* word = argv[nextIndex];
      optionText = word;
      arg = NULL;
      if (word == NULL) {  // argv of argc words ends early: take it as a plain word
        ++nextIndex;
        continue;
      }
      SOCHAR first = PrepareArg(word);
      if (word[0] == kDash) {
        arg = FindEquals(word);
        if (arg != NULL) *arg++ = 0;
      }

      row = LookupOption(word);
      if (row < 0 && arg == NULL && word[0] == kDash && word[1] != 0 && word[1] != kDash && word[2] != 0) {
        if (HasFlag(FLAG_SHORT_ARG)) {
          shortText[1] = word[1];
          int shortRow = LookupOption(shortText);
          if (shortRow >= 0 &&
              (options[shortRow].argType == ARG_ATTACHED || options[shortRow].argType == ARG_OPTIONAL)) {
            row = shortRow;
            arg = word + 2;
            break;
          }
        }
        if (HasFlag(FLAG_CLUMP)) {
          clump = word + 1;
          ++nextIndex;
          MoveSkippedWords(nextIndex - 1);
          return kClumpStarted;
        }
      }
      if (row >= 0) break;
      if (word[0] == kDash && !HasFlag(FLAG_NO_ERROR)) {
        unknownOption = true;
        break;
      }

      // Not an option: put it back as it was and look further.
      word[0] = first;
      if (arg != NULL) arg[-1] = kEquals;
      arg = NULL;
      ++nextIndex;
    }

    if (row < 0 && !unknownOption) {
      optionText = NULL;
      MoveSkippedWords(nextIndex);
      return kExhausted;
    }

    ++nextIndex;
    if (row < 0) {
      lastError = static_cast<ESOError>(row);
    } else {
      optionId = options[row].id;
      optionText = options[row].text;
      optionArg = arg;
      switch (options[row].argType) {
        case ARG_NONE:
          if (arg != NULL) lastError = OPT_ERR_ARG_NOT_ALLOWED;
          break;
        case ARG_SEPARATE:
          if (arg != NULL && HasFlag(FLAG_PEDANTIC)) lastError = OPT_ERR_ARG_ATTACHED;
          break;
        case ARG_ATTACHED:
          if (arg == NULL) lastError = OPT_ERR_ARG_MISSING;
          break;
        default:
          break;
      }
    }

    MoveSkippedWords(nextIndex - 1);

    if (row >= 0 && options[row].argType == ARG_SEPARATE && arg == NULL && lastError == OPT_SUCCESS) {
      SOCHAR** words = MultiArg(1);
      if (words != NULL) optionArg = words[0];
    }
    return kReported;
  }

  // One letter of a clump. False only when no row has the letter.
  bool NextClumped() {
    shortText[1] = *clump++;
    optionId = -1;
    optionText = NULL;
    optionArg = NULL;
    lastError = OPT_SUCCESS;

    int savedFlags = flags;
    flags |= FLAG_EXACT_MATCH;
    int row = LookupOption(shortText);
    flags = savedFlags;

    if (row < 0) {
      optionText = shortText;
      lastError = static_cast<ESOError>(row);
      return false;
    }

    optionText = options[row].text;
    switch (options[row].argType) {
      case ARG_NONE:
        optionId = options[row].id;
        return true;
      case ARG_ATTACHED:
        if (*clump != 0) {
          optionId = options[row].id;
          optionArg = clump;
          clump = NULL;
          return true;
        }
        break;
      case ARG_OPTIONAL:
        // The argument is optional: the rest of the clump when there is one.
        optionId = options[row].id;
        if (*clump != 0) {
          optionArg = clump;
          clump = NULL;
        }
        return true;
      case ARG_SEPARATE:
        break;
      default:
        // Kinds without an argument check are accepted as they are.
        optionId = options[row].id;
        return true;
    }
    lastError = OPT_ERR_ARG_MISSING;
    return true;
  }

  bool HasFlag(int bits) const { return (flags & bits) == bits; }

  // "/" never introduces an option, so nothing is rewritten; the first
  // character is handed back for the caller to restore.
  SOCHAR PrepareArg(SOCHAR* word) const { return word[0]; }

  static SOCHAR* FindEquals(SOCHAR* word) {
    for (; *word != 0; ++word) {
      if (*word == kEquals) return word;
    }
    return NULL;
  }

  // The row for word, else OPT_ERR_INVALID or OPT_ERR_AMBIGUOUS.
  int LookupOption(const SOCHAR* word) const {
    int best = -1;
    int bestLength = 0;
    int previousBestLength = 0;
    for (int n = 0; options[n].id >= 0; ++n) {
      int match = CalcMatch(options[n].text, word);
      if (match == -1) return n;
      if (match > 0 && match >= bestLength) {
        previousBestLength = bestLength;
        bestLength = match;
        best = n;
      }
    }
    if (HasFlag(FLAG_EXACT_MATCH) || best < 0) return OPT_ERR_INVALID;
    return bestLength > previousBestLength ? best : OPT_ERR_AMBIGUOUS;
  }

  // -1: text and word are equal. n > 0: word is the first n characters
  // (after the dashes) of text. 0: anything else.
  int CalcMatch(const SOCHAR* text, const SOCHAR* word) const {
    if (text == NULL || word == NULL) return 0;

    int caseFlag = FLAG_ICASE_WORD;
    if (text[0] == kDash) {
      caseFlag = (text[1] != 0 && text[1] != kDash && text[2] == 0) ? FLAG_ICASE_SHORT : FLAG_ICASE_LONG;
    }

    while (*text == kDash) {
      if (*word != kDash) return 0;
      ++text;
      ++word;
    }
    // Different dash counts, or a word of dashes only.
    if (*word == kDash || *word == 0) return 0;

    int length = 0;
    while (*text != 0 && IsEqual(*text, *word, caseFlag)) {
      ++text;
      ++word;
      ++length;
    }
    if (*text == 0 && *word == 0) return -1;
    if (*text != 0 && *word == 0) return length;
    return 0;
  }

  bool IsEqual(SOCHAR a, SOCHAR b, int caseFlag) const {
    if (HasFlag(caseFlag)) {
      a = Lower(a);
      b = Lower(b);
    }
    return a == b;
  }

  static SOCHAR Lower(SOCHAR c) {
    if (c >= static_cast<SOCHAR>('A') && c <= static_cast<SOCHAR>('Z')) {
      return static_cast<SOCHAR>(c - static_cast<SOCHAR>('A') + static_cast<SOCHAR>('a'));
    }
    return c;
  }

  // Moves the non-option words between optionIndex and end behind every
  // other word, so that the word at end now stands at optionIndex.
  void MoveSkippedWords(int end) {
    int count = end - optionIndex;
    if (count <= 0) return;
    ShuffleArg(optionIndex, count);
    nextIndex -= count;
  }

  // Moves count words from start to the end of argv, keeping the order of
  // the moved words and of the rest.
  void ShuffleArg(int start, int count) {
    SOCHAR* stackBuffer[kStackWords];
    SOCHAR** buffer = shuffleBuffer;
    if (buffer == NULL && count <= kStackWords) buffer = stackBuffer;
    if (buffer == NULL) {
      // Only when the heap buffer could not be had; same result in place.
      std::rotate(argv + start, argv + start + count, argv + argc);
    } else {
      Copy(buffer, argv + start, count);
      int behind = argc - start - count;
      std::copy(argv + start + count, argv + argc, argv + start);
      Copy(argv + start + behind, buffer, count);
    }
    lastArg -= count;
  }

  static void Copy(SOCHAR** to, SOCHAR** from, int n) {
    for (int i = 0; i < n; ++i) to[i] = from[i];
  }

  const SOption* options;
  int flags;
  int optionIndex;
  int optionId;
  int nextIndex;
  int lastArg;
  int argc;
  SOCHAR** argv;
  const SOCHAR* optionText;
  SOCHAR* optionArg;
  SOCHAR* clump;
  SOCHAR shortText[3];
  ESOError lastError;
  SOCHAR** shuffleBuffer;
};

typedef CSimpleOptTempl<char> CSimpleOpt;

#endif
