// Where a sample count becomes a value in the user's units. No scaling description is loaded
// yet, so values stay in counts; a loaded one will be looked up here per channel.
export function toUnits(channel, counts) {
  return counts;
}

export function unitName(channel) {
  return 'counts';
}
