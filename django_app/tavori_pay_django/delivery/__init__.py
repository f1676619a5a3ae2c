"""Payment events, from the move that writes them to the receivers that take
them: which receivers an event is for (`receivers`), writing it with its move
(`events`), when it is delivered (`after_commit`) and delivering it until
every receiver has returned (`dispatcher`)."""
