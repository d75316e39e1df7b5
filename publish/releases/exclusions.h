// Files that lie in a release folder but are no part of the game: what
// file managers and editors leave behind (Thumbs.db, desktop.ini,
// .DS_Store, backups whose names end in ~) and what the publisher names
// with --exclude. They are never recorded in a hash list nor packed; make
// and hashlist leave them out alike, so that a list that hashlist wrote
// still describes the folder when make reads it.
//
// A pattern is matched against a path from the release folder: `*` stands
// for any run of characters within one part, `?` for one character, every
// other character for itself, letter case aside as Windows takes file
// names (fileio/name_case.h: every letter with a capital, ＡＢＣ and ａｂｃ,
// Ω and ω, not only A to Z). Parts are separated by `/` or `\`. A pattern
// without a separator matches a file or folder of that name in any folder;
// one with a separator matches the path from the release folder's top (a
// leading separator changes nothing); a trailing separator makes it match
// folders only. A folder that matches is left out with everything in it.
//
// A release folder may hold its own patterns, which stay with it: the
// exclusion file (kExclusionFileName) at its top, one pattern a line, as a
// .gitignore file holds them for git: blank lines and lines that start with
// # say nothing, trailing spaces and tabs are dropped. Every command that
// reads a release folder reads it (each OLD's and NEW's their own), adds
// --exclude to it, and never records or packs the file itself.
#pragma once

#include <string>
#include <vector>

// The exclusion file at the top of a release folder (any letter case, as
// on Windows).
constexpr char kExclusionFileName[] = ".patchignore";

class Exclusions {
 public:
  // The publisher's own pattern. False with *error for one that can match
  // nothing: empty parts, or "." and ".." steps.
  bool Add(const std::string& pattern, std::string* error);
  // The patterns of the exclusion file at path (shown, in errors, as
  // shown). False with *error, naming the file and the line, for a file
  // that cannot be read and for a pattern that can match nothing or takes
  // files back (a leading !, which git has and this rule has not).
  bool AddFile(const std::string& path, const std::string& shown, std::string* error);
  // Leaves the default names in the release (Thumbs.db and the others).
  void KeepDefaultNames() { defaults_ = false; }
  bool LeavesOutDefaultNames() const { return defaults_; }
  // The patterns given with --exclude, as given, in order: what a command
  // that patchtool advises repeats.
  std::vector<std::string> GivenPatterns() const;

  // Whether the file or folder at relative (parts joined by '/' or '\') is
  // left out by itself; the walk of a folder asks for each folder first.
  bool Excludes(const std::string& relative, bool folder) const;
  // Whether the file at relative is left out, by itself or by a folder on
  // its way (for files given by their paths rather than found by a walk).
  bool ExcludesFile(const std::string& relative) const;
  // What leaves the file or folder at relative out, as Excludes finds it:
  // "a default name (Thumbs.db)", "--exclude work/", "r/.patchignore line
  // 2: work/"; "" when nothing does.
  std::string Reason(const std::string& relative, bool folder) const;

  // What is left out, for the warning that names the files: "Thumbs.db,
  // desktop.ini, .DS_Store, names ending in ~, --exclude *.psd".
  std::string Describe() const;

 private:
  bool AddPattern(const std::string& text, const std::string& source, std::string* error);

  struct Pattern {
    std::string text;  // as given
    std::string source;  // "" for --exclude, else the exclusion file and line
    std::vector<std::string> parts;
    bool anywhere = true;     // no separator: a name in any folder
    bool foldersOnly = false;
  };
  bool Matches(const Pattern& pattern, const std::vector<std::string>& parts, bool folder) const;

  std::vector<Pattern> patterns_;
  bool defaults_ = true;
};

// Whether name matches the pattern of one part: `*` any run of characters,
// `?` one character (a code point; a byte where the name is no UTF-8),
// letter case aside as SameFileName takes it: without `*` and `?`, valid
// UTF-8 matches exactly when SameFileName takes the two for one name.
bool NameMatches(const std::string& pattern, const std::string& name);
