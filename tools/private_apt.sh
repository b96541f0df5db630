# Sourced, not run: private_apt DIR TYPE SUITE fills the array apt_opts with
# options that give apt its own sources list, lists, status and cache under DIR,
# so that the machine's own apt setup is never touched. The one source is
# "TYPE URI SUITE main", from the archive the machine's apt already uses.
private_apt() {
    local dir=$1 uri
    uri=$("$(dirname "${BASH_SOURCE[0]}")/apt_archive_uri.sh")
    mkdir -p "$dir"/{lists/partial,cache/archives/partial,sources.list.d,preferences.d}
    [ -e "$dir/status" ] || : >"$dir/status"
    echo "$2 $uri $3 main" >"$dir/sources.list"
    apt_opts=(-o "Dir::Etc::SourceList=$dir/sources.list"
              -o "Dir::Etc::SourceParts=$dir/sources.list.d"
              -o "Dir::Etc::Preferences=$dir/preferences"
              -o "Dir::Etc::PreferencesParts=$dir/preferences.d"
              -o "Dir::State::Lists=$dir/lists"
              -o "Dir::State::status=$dir/status"
              -o "Dir::Cache=$dir/cache")
}
