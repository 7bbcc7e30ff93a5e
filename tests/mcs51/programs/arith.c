/* ADD, ADDC, SUBB, DA, MUL and DIV over every accumulator value and a table of operands, each
 * result and PSW logged to external RAM through MOVX @R1 with the page in P2. */
void main(void) __naked
{
	__asm
	mov	sp,#0x60
	mov	p2,#0
	mov	r1,#0
	mov	r2,#0
outer:
	mov	r3,#0
inner:
	mov	a,r3
	mov	dptr,#operands
	movc	a,@a+dptr
	mov	r4,a

	mov	a,r2
	add	a,r4
	acall	logp
	da	a
	acall	logp

	mov	a,r2
	setb	c
	addc	a,r4
	acall	logp
	da	a
	acall	logp

	mov	a,r2
	clr	c
	subb	a,r4
	acall	logp
	mov	a,r2
	setb	c
	subb	a,r4
	acall	logp

	mov	a,r4
	anl	a,#0xC4
	mov	psw,a
	mov	a,r2
	da	a
	acall	logp

	mov	a,r2
	mov	b,r4
	mul	ab
	acall	logp
	mov	a,b
	acall	logb

	mov	a,r2
	mov	b,r4
	div	ab
	acall	logp
	mov	a,b
	acall	logb

	inc	r3
	cjne	r3,#9,inner
	inc	r2
	cjne	r2,#0,outer
	ljmp	_halt_here

; Logs A; changes A, keeps every flag.
logb:
	movx	@r1,a
	inc	r1
	mov	a,r1
	jnz	00001$
	inc	p2
00001$:
	ret

; Logs A then PSW; keeps both.
logp:
	push	acc
	push	psw
	acall	logb
	pop	acc
	acall	logb
	pop	acc
	ret

operands:
	.db	0x00, 0x01, 0x09, 0x0F, 0x45, 0x7F, 0x80, 0x99, 0xFF

_halt_here::
	sjmp	_halt_here
	__endasm;
}
