# The phone page's texts that name the computer, as they read on Linux: pairs of the page's own
# (macOS) text and its replacement. EmbedText.cmake fails the build when a text is not found.
set(PAGE_TEXTS
  "Mac側のターミナルで" "このパソコンのターミナルで"
  "Mac に tmux が入っていません。" "このパソコンに tmux が入っていません。")
